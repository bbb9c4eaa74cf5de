#pragma once

#include <string>
#include <vector>

#include "shell/ListView.h"
#include "shell/MessageBoxes.h"
#include "shell/Services.h"

namespace orvanel {

// The plain names of the files in `folder` that match `pattern` ("*.*" matches every
// name), hidden ones included, folders left out, in name order. Throws Failure when the
// folder cannot be listed.
std::vector<std::string> ListFilesInFolder(const std::string& folder, const std::string& pattern);

// The folder that holds the sample pages, the pointer file and the skin, found from the
// folder of the executable: that folder itself when it holds any of them (a build tree),
// else `../share/orvanel` from it when that exists (an installed copy), else the
// executable's folder.
std::string FindProgramFolder(const std::string& executable_folder);

// The sample folder beside the program: <program folder>/Samples.
std::string SampleFolder(const std::string& program_folder);

// Records the sample files in the "Snapshot" setting: their paths joined with "|",
// the empty text when there are none. Throws Failure like the calls it makes.
void RecordSamplesSnapshot(SettingsStore& settings, const std::string& program_folder);

// Appends the recorded sample paths that still exist and are not yet listed, then offers
// to open the sample folder.
void AddSampleFilesToList(ListView& list, SettingsStore& settings, MessageBoxes& boxes,
                          Shell& shell, const std::string& program_folder);

// Load Sample/Example Files (PushButton15).
void LoadSampleFiles(ListView& list, SettingsStore& settings, MessageBoxes& boxes, Shell& shell,
                     const std::string& program_folder);

inline constexpr const char* kOpenSampleFolderQuestion =
    "Would you like this software to open the folder where these sample files are stored "
    "(so that you can view them before working with them)?";

}  // namespace orvanel
