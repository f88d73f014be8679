#include "support/recorder.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace sl::test {

void RecordingServices::MessageBox(shell::MsgIcon icon, const std::string& text) {
  boxes.push_back({icon, text});
  if (duringBox) duringBox();
}

std::string RecordingServices::InputBox(const std::string& caption, const std::string& prompt,
                                        const std::string& placeholder) {
  inputPrompts.push_back(caption + "|" + prompt);
  if (inputAnswers.empty()) return placeholder;
  std::string a = inputAnswers.front();
  inputAnswers.pop_front();
  return a;
}

void RecordingServices::SetBusyCursor(bool busy) {
  busyDepth += busy ? 1 : -1;
  ++busyCalls;
}

int RecordingServices::ShowMatchDialog(shell::MatchDialogModel& dialog) {
  matchDialogs.emplace_back(dialog.rows.begin() + (dialog.rows.empty() ? 0 : 1), dialog.rows.end());
  if (matchAnswers.empty()) return -1;
  int a = matchAnswers.front();
  matchAnswers.pop_front();
  if (a > 0) dialog.currentRow = a;
  return a;
}

shell::MsgAnswer RecordingServices::QuestionBox(const std::string& caption, const std::string& text,
                                                shell::MsgButtons buttons) {
  questions.push_back({caption, text, buttons});
  if (duringQuestion) duringQuestion();
  if (questionAnswers.empty()) return shell::MsgAnswer::No;
  const shell::MsgAnswer a = questionAnswers.front();
  questionAnswers.pop_front();
  return a;
}

int RecordingServices::ShowOptionDialog(shell::OptionDialog& dialog) {
  ++optionDialogs;
  dialog.FillFromSettings();
  dialog.HandleActivation();
  if (!optionDialog) return dialog.CancelOptions();
  return optionDialog(dialog);
}

std::vector<std::string> RecordingServices::BoxTexts() const {
  std::vector<std::string> out;
  for (const auto& b : boxes) out.push_back(b.text);
  return out;
}

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (int i = 0; i < 100; ++i) {
    std::ostringstream name;
    name << "sonolabel-test-" << std::hex << rd() << rd();
    auto p = base / name.str();
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec)) {
      path_ = p.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // A test may have made the folder read-only; give write access back first.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                               ec);
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace sl::test
