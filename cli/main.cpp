// sonolabel-cli: the window's core without the window. Texts the window would
// show in a box or in the status bar go to stderr, one line each; results go
// to stdout.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "mainform/mainform.h"
#include "shell/services.h"

namespace {

using sl::mainform::TFormMain;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

void Usage() {
  std::cerr << "usage: sonolabel-cli drives\n"
               "       sonolabel-cli discid [--drive N]\n"
               "       sonolabel-cli disc [--drive N]\n"
               "       sonolabel-cli lookup [--drive N] [--server URL] [--choose K] [--email ADDR]\n"
               "       sonolabel-cli sites [--server URL] [--email ADDR]\n";
}

// Reads one line from the terminal, or nothing when stdin is not one.
std::optional<std::string> AskTerminal(const std::string& prompt) {
  if (!::isatty(STDIN_FILENO)) return std::nullopt;
  std::cerr << prompt << std::flush;
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  return line;
}

class CliServices : public sl::shell::ShellServices {
 public:
  std::optional<std::string> email;
  std::optional<int> choose;

  void MessageBox(sl::shell::MsgIcon, const std::string& text) override {
    std::cerr << text << '\n';
  }
  std::string InputBox(const std::string& caption, const std::string& prompt,
                       const std::string& placeholder) override {
    if (email) return *email;
    auto answer = AskTerminal(caption + ": " + prompt + " [" + placeholder + "] ");
    if (!answer) return placeholder;  // no terminal: as if cancelled
    return answer->empty() ? placeholder : *answer;
  }
  void SetBusyCursor(bool) override {}
  int ShowMatchDialog(sl::shell::MatchDialogModel& dialog) override {
    if (!choose) {
      for (std::size_t i = 1; i < dialog.rows.size(); ++i)
        std::cerr << i << '\t' << dialog.rows[i][0] << '\t' << dialog.rows[i][1] << " / "
                  << dialog.rows[i][2] << '\n';
      auto answer = AskTerminal("row (0 = Cancel): ");
      if (!answer) return -1;  // a pipe cancels
      choose = std::atoi(answer->c_str());
    }
    const int k = *choose;
    if (k <= 0 || k >= static_cast<int>(dialog.rows.size())) return -1;
    dialog.currentRow = k;
    return k;
  }
};

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string WindowJson(TFormMain& form) {
  char id[16];
  std::snprintf(id, sizeof id, "%08X", form.DiscId());
  auto& model = form.Model();
  const auto& t = model.Table();
  std::string out = "{\"discid\":" + JsonString(id) + ",\"category\":" + JsonString(t.Category()) +
                    ",\"genre\":" + JsonString(t.Genre()) + ",\"artist\":" + JsonString(t.Artist()) +
                    ",\"title\":" + JsonString(t.Title()) + ",\"year\":" + JsonString(t.Year()) +
                    ",\"tracks\":[";
  for (int row = 1; row < t.RowCount(); ++row) {
    if (row > 1) out += ",";
    out += "{\"title\":" + JsonString(t.Cell(1, row)) + ",\"artist\":" + JsonString(t.Cell(2, row)) + "}";
  }
  out += "],\"status\":" + JsonString(model.Status(0)) + "}";
  return out;
}

struct Args {
  std::string command;
  int drive = 0;
  std::optional<std::string> server;
};

bool ParseInt(const char* text, int& value) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < -1000000 || v > 1000000) return false;
  value = static_cast<int>(v);
  return true;
}

// Picks drive `index` as the drive box would; false when there is no such item.
bool PickDrive(TFormMain& form, int index) {
  auto& model = form.Model();
  if (index < 0 || index >= static_cast<int>(model.DriveItems().size())) {
    std::cerr << "no drive " << index << " (" << model.DriveItems().size() << " found)\n";
    return false;
  }
  model.SetDriveIndex(index);
  form.ComboBox1Change();
  return true;
}

int Run(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return kUsage;
  }
  Args args;
  args.command = argv[1];
  CliServices services;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--drive" && hasValue && ParseInt(argv[i + 1], args.drive)) {
      ++i;
    } else if (a == "--server" && hasValue) {
      args.server = argv[++i];
    } else if (a == "--choose" && hasValue) {
      int k = 0;
      if (!ParseInt(argv[i + 1], k)) { Usage(); return kUsage; }
      services.choose = k;
      ++i;
    } else if (a == "--email" && hasValue) {
      services.email = argv[++i];
    } else {
      Usage();
      return kUsage;
    }
  }
  const std::string& cmd = args.command;
  if (cmd != "drives" && cmd != "discid" && cmd != "disc" && cmd != "lookup" && cmd != "sites") {
    Usage();
    return kUsage;
  }

  TFormMain form(services, sl::mainform::Environment::FromProcess());
  form.Model().onStatus = [](int panel, const std::string& text) {
    if (panel == 0) std::cerr << text << '\n';
  };
  form.FormCreate();

  if (cmd == "drives") {
    const auto& items = form.Model().DriveItems();
    for (std::size_t i = 0; i < items.size(); ++i)
      std::cout << i << '\t' << form.DriveAddressText(static_cast<int>(i)) << '\t' << items[i] << '\n';
    return kDone;
  }
  if (cmd == "sites") {
    form.FormShow();
    if (args.server) form.SetServerUrl(*args.server);
    form.tunedexS2Click();
    for (const auto& host : form.StoredServerHosts()) std::cout << host << '\n';
    return form.Model().Status(0) == "サーバリスト取得完了" ? kDone : kFailed;
  }
  if (cmd == "lookup") {
    form.FormShow();
    if (args.server) form.SetServerUrl(*args.server);
  }
  if (!PickDrive(form, args.drive)) return kFailed;
  const bool read = form.Model().Status(0).rfind("DISCID : ", 0) == 0;
  if (cmd == "discid") {
    if (!read || form.TrackCount() == 0) return kFailed;
    std::cout << form.DiscLine() << '\n';
    return kDone;
  }
  if (cmd == "disc") {
    std::cout << WindowJson(form) << '\n';
    return read && form.TrackCount() > 0 ? kDone : kFailed;
  }
  // lookup
  if (!read) return kFailed;
  form.C1Click();
  std::cout << WindowJson(form) << '\n';
  return form.Model().Status(0) == "曲名取得完了" ? kDone : kFailed;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return kFailed;
  }
}
