#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace orvanel {

class EventPump;

// The commands that can open a workbook here, best first, each to be given the file's
// path as its last argument: the desktop's default application for .xlsx through
// xdg-open (when xdg-mime names one), then the spreadsheet programs found on PATH.
std::vector<std::vector<std::string>> SpreadsheetOpeners();

// Starts `argv` (looked up on PATH) with standard input and output on /dev/null. True when
// it started and had not failed (ended with a status other than 0) within `grace`; a
// program still running then is left to run.
bool LaunchProgram(const std::vector<std::string>& argv, std::chrono::milliseconds grace,
                   EventPump* pump);

}  // namespace orvanel
