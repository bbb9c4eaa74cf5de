#pragma once

#include <stdexcept>
#include <string>

namespace orvanel {

// A failing operation of a control, the file system or another outside component.
// what() is the description shown in the "Application Error" report.
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& description) : std::runtime_error(description) {}
};

}  // namespace orvanel
