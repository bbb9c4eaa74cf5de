#pragma once

#include <string>

#include "shell/ErrorReport.h"
#include "shell/ListView.h"
#include "shell/MessageBoxes.h"

namespace orvanel {

// The one-line prompt behind Add URL and Add Tag: ask (step 100), stop on an empty answer
// or Cancel (step 102), append the answer exactly as typed (step 104).
inline void AddAnswerToList(ListView& list, MessageBoxes& boxes, Command command,
                            const char* prompt) {
  StepRunner runner(boxes, command);
  std::string answer;
  runner.Step(100, [&] { answer = boxes.Input(prompt); });
  if (runner.Test(102, [&] { return answer.empty(); })) return;
  runner.Step(104, [&] { list.Add(answer); });
}

}  // namespace orvanel
