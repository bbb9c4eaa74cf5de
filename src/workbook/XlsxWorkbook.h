#pragma once

#include <memory>
#include <string>

#include "shell/Workbook.h"
#include "workbook/WorkbookFolder.h"

namespace orvanel {

class EventPump;

// Workbooks written with libxlsxwriter into `folder` (see WorkbookFolder: the workbooks
// of earlier exports that may go are removed at each new one and when the application is
// destroyed, as the program ends) and opened with the first of SpreadsheetOpeners() that
// starts. While an opener is watched for an early failure, `pump` (if any) keeps the
// window's events flowing.
std::unique_ptr<SpreadsheetApp> MakeXlsxSpreadsheetApp(
    EventPump* pump = nullptr, std::string folder = WorkbookFolder::UserPath());

}  // namespace orvanel
