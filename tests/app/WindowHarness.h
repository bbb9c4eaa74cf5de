#pragma once

// The real main window with fake dialogs, boxes, settings, clipboard and shell, a real
// fetcher and a real event loop, for the window's tests.
#include <memory>

#include "Fakes.h"
#include "TempDir.h"
#include "app/MainWindow.h"
#include "fetch/CurlFetcher.h"
#include "qt/QtServices.h"

namespace orvanel::testing {

// A window with fake dialogs and settings, a real fetcher and a real event loop.
struct Harness {
  Harness() {
    fetcher = MakeCurlFetcher();
    fetcher->SetNotify([this] { pump.Wake(); });
    services.boxes = &boxes;
    services.dialog = &dialog;
    services.settings = &settings;
    services.clipboard = &clipboard;
    services.shell = &shell;
    services.pump = &pump;
    services.fetcher = fetcher.get();
    services.program_folder = folder.path();
  }
  MainWindow& Window() {
    if (!window) {
      window = std::make_unique<MainWindow>(services);
      window->SetExitWhileBusy([this] { ++exits; });
    }
    return *window;
  }
  template <typename T>
  T* Find(const char* name) {
    return Window().findChild<T*>(QString::fromLatin1(name));
  }
  TempDir folder;
  FakeBoxes boxes;
  FakeFileDialog dialog;
  FakeSettings settings;
  FakeClipboard clipboard;
  FakeShell shell;
  QtEventPump pump;
  std::unique_ptr<Fetcher> fetcher;
  WindowServices services;
  std::unique_ptr<MainWindow> window;
  int exits = 0;
};

}  // namespace orvanel::testing
