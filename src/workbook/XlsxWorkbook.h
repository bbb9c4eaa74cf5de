#pragma once

#include <memory>

#include "shell/Workbook.h"

namespace orvanel {

class EventPump;

// Workbooks written with libxlsxwriter into a private temporary folder (owner-only) and
// opened with the first of SpreadsheetOpeners() that starts. While an opener is watched
// for an early failure, `pump` (if any) keeps the window's events flowing.
std::unique_ptr<SpreadsheetApp> MakeXlsxSpreadsheetApp(EventPump* pump = nullptr);

}  // namespace orvanel
