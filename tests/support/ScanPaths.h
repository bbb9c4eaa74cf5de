#pragma once

#include <gtest/gtest.h>

#include "base/Processor.h"

namespace orvanel::testing {

// A test that runs with the AVX2 scan paths, where the processor has them, and without
// them: instantiate it with Values(true) and Values(false).
class ScanPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { AllowAvx2(GetParam()); }
  void TearDown() override { AllowAvx2(true); }
};

}  // namespace orvanel::testing
