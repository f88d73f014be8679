// Sites replies merged into a settings file that already lists servers: the
// stored entries never change, every added entry is whole, and the count
// says exactly how many there are.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "cddb/cddb.h"
#include "inifile/profile.h"
#include "settings/serverlist.h"
#include "support.h"
#include "text/codepage.h"

using namespace sl;

namespace {
const char* kSettings =
    "; servers\r\n[tunedex]\r\nemail=me@example.com\r\nselectserver=2\r\nservercount=3\r\n"
    "[svr0]\r\nhost=gnudb.gnudb.org\r\npath=/~cddb/cddb.cgi?\r\ncode=0\r\n"
    "[svr1]\r\nhost=127.0.0.1:8880\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n"
    "[svr2]\r\nhost=mirror.example\r\npath=/cddb?\r\ncode=1\r\n"
    "[other]\r\nkey = kept as it is \r\n";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = fuzz::ScratchDir() + "/sites.INI";
  fuzz::ReplaceFile(path, kSettings);
  const auto lines = cddb::SplitLines(std::string_view(reinterpret_cast<const char*>(data), size));
  settings::SettingsFile s(path);
  std::string error;
  const bool merged = settings::SetServerList(s, lines, &error);
  if (!merged) {
    // A merge that did not happen left the file alone.
    FUZZ_CHECK(fuzz::ReadFile(path) == kSettings);
    return 0;
  }
  const int count = s.ReadInteger("tunedex", "servercount", -1);
  FUZZ_CHECK(count >= 3 && count <= 3 + static_cast<int>(lines.size()));
  FUZZ_CHECK(s.ReadInteger("tunedex", "selectserver", -1) == 2);
  FUZZ_CHECK(s.ReadServer(0).host == "gnudb.gnudb.org" && s.ReadServer(0).path == "/~cddb/cddb.cgi?");
  FUZZ_CHECK(s.ReadServer(1).host == "127.0.0.1:8880" && s.ReadServer(1).code == 2);
  FUZZ_CHECK(s.ReadServer(2).host == "mirror.example" && s.ReadServer(2).path == "/cddb?");
  FUZZ_CHECK(s.ReadString("other", "key", "") == "kept as it is");
  // Each added entry: a host taken from the start of a line that named no
  // stored host, the standard path, capability not yet known.
  for (int i = 3; i < count; ++i) {
    const auto e = s.ReadServer(i);
    FUZZ_CHECK(e.path == "/~cddb/cddb.cgi?" && e.code == 0);
    bool fromALine = false;
    for (const auto& l : lines) {
      if (l.find("gnudb.gnudb.org") != std::string::npos || l.find("127.0.0.1:8880") != std::string::npos ||
          l.find("mirror.example") != std::string::npos)
        continue;
      const auto blank = l.find(' ');
      std::string host = blank == std::string::npos ? std::string() : l.substr(0, blank);
      // A value is one line: NUL (like CR and LF) is stored as a blank.
      for (char& c : host)
        if (c == '\0') c = ' ';
      // The file holds the host in the code page, and a few characters come
      // back as another one (U+00A2 is stored as CP932's 0x8191, which reads
      // as U+FFE0), as on Windows.
      try {
        host = text::FromExternal(text::ToExternal(host));
      } catch (const std::exception&) {
      }
      if (host == e.host) fromALine = true;
    }
    FUZZ_CHECK(fromALine);
  }
  FUZZ_CHECK(s.ReadString(settings::ServerSection(count), "host", "-") == "-");
  return 0;
}
