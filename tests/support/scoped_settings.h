// Puts process-wide settings (the ones the program's start-up sets from its
// configuration) into effect for one test and restores them afterwards.
#pragma once

#include <string>

#include "ipc/ipc.h"
#include "text/codepage.h"

namespace sl::test {

// The external code page; null or "" means the default.
class ScopedCodePage {
 public:
  explicit ScopedCodePage(const char* name = nullptr) : saved_(text::ExternalCodePageName()) {
    text::SetExternalCodePage(name ? name : "");
  }
  ~ScopedCodePage() { text::SetExternalCodePage(saved_); }
  ScopedCodePage(const ScopedCodePage&) = delete;
  ScopedCodePage& operator=(const ScopedCodePage&) = delete;
  void Set(const char* name) { text::SetExternalCodePage(name ? name : ""); }

 private:
  std::string saved_;
};

// The IPC's runtime folder, time-out and player program.
class ScopedLinkSettings {
 public:
  ScopedLinkSettings() : saved_(ipc::CurrentSettings()) {}
  ~ScopedLinkSettings() { ipc::Configure(saved_); }
  ScopedLinkSettings(const ScopedLinkSettings&) = delete;
  ScopedLinkSettings& operator=(const ScopedLinkSettings&) = delete;

  ScopedLinkSettings& RuntimeDir(const std::string& dir) {
    return Change([&](auto& s) { s.runtimeDir = dir; });
  }
  ScopedLinkSettings& TimeoutMs(int ms) {
    return Change([&](auto& s) { s.timeoutMs = ms; });
  }
  // "" for none.
  ScopedLinkSettings& PlayerProgram(const std::string& program) {
    return Change([&](auto& s) { s.playerProgram = program; });
  }

 private:
  template <typename F>
  ScopedLinkSettings& Change(F change) {
    ipc::LinkSettings s = ipc::CurrentSettings();
    change(s);
    ipc::Configure(s);
    return *this;
  }
  ipc::LinkSettings saved_;
};

}  // namespace sl::test
