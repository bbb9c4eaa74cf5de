#include "lists/Samples.h"

#include <dirent.h>
#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "engine/Address.h"
#include "shell/ErrorReport.h"

namespace orvanel {

std::vector<std::string> ListFilesInFolder(const std::string& folder, const std::string& pattern) {
  std::string base = folder;
  if (base.empty() || base.back() != '/') base += '/';
  DIR* dir = ::opendir(base.c_str());
  if (!dir) throw Failure("Cannot list " + folder + ": " + std::strerror(errno));
  std::vector<std::string> names;
  names.reserve(100);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (pattern != "*.*" && ::fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
    if (IsExistingFile(base + name)) names.push_back(name);
  }
  ::closedir(dir);
  // The system lists in no particular order; name order keeps the record stable.
  std::sort(names.begin(), names.end());
  names.shrink_to_fit();
  return names;
}

std::string FindProgramFolder(const std::string& executable_folder) {
  for (const char* own : {"/Samples", "/HAND-M.CUR", "/x/o.cjs"}) {
    if (PathExists(executable_folder + own)) return executable_folder;
  }
  const std::string installed = executable_folder + "/../share/orvanel";
  if (PathExists(installed)) {
    // The plain form, as the recorded sample paths and the open-folder question show it.
    const std::size_t slash = executable_folder.rfind('/');
    return (slash == std::string::npos ? std::string(".") : executable_folder.substr(0, slash)) +
           "/share/orvanel";
  }
  return executable_folder;
}

std::string SampleFolder(const std::string& program_folder) { return program_folder + "/Samples"; }

void RecordSamplesSnapshot(SettingsStore& settings, const std::string& program_folder) {
  std::vector<std::string> names;
  if (PathExists(SampleFolder(program_folder))) {
    names = ListFilesInFolder(SampleFolder(program_folder), "*.*");
  }
  std::string text;
  for (const auto& name : names) text += SampleFolder(program_folder) + "/" + name + "|";
  if (!text.empty()) text.pop_back();
  settings.Save(kSnapshotKey, text);
}

void AddSampleFilesToList(ListView& list, SettingsStore& settings, MessageBoxes& boxes,
                          Shell& shell, const std::string& program_folder) {
  const std::string snapshot = settings.Get(kSnapshotKey, "");
  // The list's texts once, then each added piece: linear in the list and the record.
  std::unordered_set<std::string> listed;
  if (!snapshot.empty()) {
    for (std::size_t i = 1; i <= list.Count(); ++i) listed.insert(list.Text(i));
  }
  std::size_t start = 0;
  while (!snapshot.empty() && start <= snapshot.size()) {
    std::size_t bar = snapshot.find('|', start);
    if (bar == std::string::npos) bar = snapshot.size();
    std::string piece = snapshot.substr(start, bar - start);
    if (!listed.count(piece) && PathExists(piece)) {
      list.Add(piece);
      listed.insert(std::move(piece));
    }
    start = bar + 1;
  }
  if (boxes.Message(kOpenSampleFolderQuestion, BoxStyle::kYesNo) == BoxAnswer::kYes) {
    shell.Open(SampleFolder(program_folder) + "/");  // the desktop's answer is not examined
  }
}

void LoadSampleFiles(ListView& list, SettingsStore& settings, MessageBoxes& boxes, Shell& shell,
                     const std::string& program_folder) {
  StepRunner runner(boxes, Command::kLoadSampleFiles);
  runner.Step(100, [&] { AddSampleFilesToList(list, settings, boxes, shell, program_folder); });
}

}  // namespace orvanel
