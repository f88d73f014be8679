// What the fuzz targets share: a check that aborts with a message, shell
// services that answer every dialog, and a scratch folder for targets that
// write files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shell/services.h"

// Aborts with the failed condition: libFuzzer then keeps the input as a crash.
#define FUZZ_CHECK(cond)                                      \
  do {                                                        \
    if (!(cond)) ::sl::fuzz::Fail(#cond, __FILE__, __LINE__); \
  } while (0)

namespace sl::fuzz {

[[noreturn]] void Fail(const char* what, const char* file, int line);

// Answers the match dialog with a fixed row, input boxes with their
// placeholder, and counts boxes.
class Services : public shell::ShellServices {
 public:
  int matchAnswer = 1;
  int boxes = 0;
  int matchDialogs = 0;
  void MessageBox(shell::MsgIcon, const std::string&) override { ++boxes; }
  std::string InputBox(const std::string&, const std::string&, const std::string& placeholder) override {
    return placeholder;
  }
  void SetBusyCursor(bool) override {}
  int ShowMatchDialog(shell::MatchDialogModel&) override {
    ++matchDialogs;
    return matchAnswer;
  }
};

// A folder of this process's own, removed when the process ends. On a
// memory file system where there is one: targets that save files run many
// thousands of saves a second.
const std::string& ScratchDir();

// Writes bytes as a new file at path (a new file, not one rewritten in
// place, as every save of the program makes).
void ReplaceFile(const std::string& path, std::string_view bytes);
std::string ReadFile(const std::string& path);

// Whether text is well-formed UTF-8.
bool ValidUtf8(std::string_view text);

}  // namespace sl::fuzz
