// Real-shaped entries through the whole command line: the entry a server
// holds is looked up, its JSON submitted back as a correction, and what the
// server stored must hold every value of the original (continued lines
// joined), with the next revision. Both test servers take part, in the
// encodings they speak, and libcddb reads each stored entry back as an
// independent judge of titles and artists.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cddb_reader/cddb_reader.h"
#include "cli_run.h"
#include "platform/bounded_json.h"
#include "support/cddbd_process.h"
#include "support/gnudb_like_server.h"
#include "support/recorder.h"

namespace sl::test {
namespace {

// Text from one character set to another (iconv names); throws when a
// character does not fit.
std::string Convert(const std::string& text, const char* from, const char* to) {
  iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open");
  std::string out(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* o = out.data();
  std::size_t outLeft = out.size();
  const std::size_t r = ::iconv(cd, &in, &inLeft, &o, &outLeft);
  ::iconv_close(cd);
  if (r == static_cast<std::size_t>(-1)) throw std::runtime_error("iconv");
  out.resize(out.size() - outLeft);
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < text.size();) {
    auto nl = std::min(text.find('\n', i), text.size());
    std::string line = text.substr(i, nl - i);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    i = nl + 1;
  }
  return lines;
}

// Every key's lines joined, as the xmcd format reads them.
std::map<std::string, std::string> Values(const std::string& entry) {
  std::map<std::string, std::string> values;
  for (const auto& line : Lines(entry)) {
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] += line.substr(eq + 1);
  }
  return values;
}

std::string RevisionLine(const std::string& entry) {
  for (const auto& line : Lines(entry))
    if (line.rfind("# Revision:", 0) == 0) return line;
  return {};
}

std::string Head(const std::string& revisionLine) {
  return "# xmcd\n#\n# Track frame offsets:\n#\t150\n#\t18630\n#\t35212\n#\n# Disc length: 612 seconds\n#\n" +
         revisionLine + "# Submitted via: a real server's client 2.0\n#\nDISCID=23026203\n";
}

// A long text of `bytes` bytes in the server's encoding: `unit` repeated,
// then ASCII padding.
std::string Long(const std::string& unit, std::size_t unitBytes, std::size_t bytes) {
  std::string out;
  std::size_t n = 0;
  while (n + unitBytes <= bytes) {
    out += unit;
    n += unitBytes;
  }
  return out + std::string(bytes - n, 'x');
}

// Splits a value over lines of the key the way a server does: at most
// `width` bytes (of UTF-8 here) a line, ASCII cut points only.
std::string Continued(const std::string& key, const std::string& value, std::size_t width) {
  std::string out;
  std::size_t i = 0;
  do {
    std::size_t n = std::min(width, value.size() - i);
    while (i + n < value.size() && (static_cast<unsigned char>(value[i + n]) & 0xC0) == 0x80) --n;
    out += key + "=" + value.substr(i, n) + "\n";
    i += n;
  } while (i < value.size());
  return out;
}

struct Case {
  std::string name;
  std::string entry;                 // UTF-8, LF
  std::string sentRevision;          // the correction's "# Revision:" line
  std::vector<std::string> configs;  // which server set-ups it goes through
  // The program's code page (cdplayer.ini must hold the titles); by default
  // ISO-8859-1 for a Latin-1 server, CP932 for the others.
  std::string codepage = "";
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const std::string body =
      "DTITLE=The Long Artist Name / A Title That\nDTITLE= Goes On\nDYEAR=19\nDYEAR=99\n"
      "DGENRE=Progressive\nDGENRE= Rock\n"
      "TTITLE0=Gladys Knight / Neither One Of Us (Wants To Be The First\nTTITLE0= To Say Goodbye\n"
      "TTITLE0=)\nTTITLE1=Plain Title\nTTITLE2=Third\nTTITLE2= Part\n"
      "EXTD=Label: Test Records\\nRecorded 1973\nEXTD=\\nYEAR: 1973\n"
      "EXTT0=Written by Jim Weatherly\\n\nEXTT0=Produced by Joe Porter\nEXTT1=\nEXTT2=Live\\tversion\n"
      "PLAYORDER=0,2\nPLAYORDER=,1\n";
  const std::vector<std::string> all = {"cddbd latin1", "cddbd cp932", "cddbd utf8", "gnudb latin1",
                                        "gnudb utf8"};
  cases.push_back({"every key continued", Head("# Revision: 5\n") + body, "# Revision: 6", all});
  const std::vector<std::string> two = {"cddbd cp932", "gnudb utf8"};
  cases.push_back({"no revision", Head("") + body, "# Revision: 1", two});
  cases.push_back({"garbled revision", Head("# Revision: abc\n") + body, "# Revision: 1", two});
  cases.push_back({"negative revision", Head("# Revision: -1\n") + body, "# Revision: 1", two});
  cases.push_back({"empty revision", Head("# Revision:\n") + body, "# Revision: 1", two});
  cases.push_back({"revision 10^9", Head("# Revision: 1000000000\n") + body, "# Revision: 1000000001", two});
  cases.push_back(
      {"revision 2^31-1", Head("# Revision: 2147483647\n") + body, "# Revision: 2147483648", two});

  // Latin-1: the separator falls where a 256-byte line ends, counted in
  // ISO-8859-1 bytes (245 of artist, then " / ").
  const std::string artist = Long("Caf\u00e9 ", 5, 245);
  const std::string latin =
      Continued("DTITLE", Long("\u00c9cole ", 6, 250) + " / " + Long("Cr\u00e8me ", 6, 120), 200) +
      "DYEAR=1972\nDGENRE=Chanson\n" +
      Continued("TTITLE0", artist + " / " + Long("Na\u00efve ", 6, 60), 180) +
      Continued("TTITLE1", Long("\u00e0 ", 2, 244) + " / " + Long("\u00fc", 1, 30), 230) +
      "TTITLE2=D\u00e9j\u00e0 vu\nEXTD=Notes \u00e9crites\\npar "
      "moi\nEXTT0=\nEXTT1=\u00e9t\u00e9\nEXTT2=\nPLAYORDER=\n";
  cases.push_back({"Latin-1 over 256 bytes",
                   Head("# Revision: 2\n") + latin,
                   "# Revision: 3",
                   {"cddbd latin1", "cddbd utf8", "gnudb latin1", "gnudb utf8"},
                   "ISO-8859-1"});

  // Japanese: two bytes a character in Shift-JIS, three in UTF-8.
  const std::string japanese =
      Continued("DTITLE", Long("\u5c71\u7530", 6, 300) + " / " + Long("\u8868\u53c2\u9053", 9, 270), 200) +
      "DYEAR=2001\nDGENRE=J-Pop\n" +
      Continued("TTITLE0", Long("\u6708", 3, 366) + " / " + Long("\u304b", 3, 90), 240) +
      Continued("TTITLE1", Long("\u30bd\u30e9", 6, 360) + "a / " + Long("\u6b4c", 3, 300), 210) +
      "TTITLE2=\u3055\u3088\u306a\u3089\nEXTD=\u30e9\u30a4\u30ca\u30fc\\n\u30ce\u30fc\u30c4\n"
      "EXTT0=\u4f5c\u8a5e\nEXTT1=\nEXTT2=\u7de8\u66f2\nPLAYORDER=\n";
  cases.push_back({"Japanese over 256 bytes",
                   Head("# Revision: 7\n") + japanese,
                   "# Revision: 8",
                   {"cddbd cp932", "cddbd utf8", "gnudb utf8"},
                   "CP932"});
  return cases;
}

// Artist and title as "Artist / Title" gives them (no separator: no artist).
std::pair<std::string, std::string> Split(const std::string& v) {
  const auto sep = v.find(" / ");
  if (sep == std::string::npos) return {"", v};
  return {v.substr(0, sep), v.substr(sep + 3)};
}

class RoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(dir.File("drives.ini"),
                   "[0:0:0]\nvendor = SONOLAB\nproduct = ROCK\ntoc = 0:02:00 4:08:30 7:49:37 10:12:12\n");
  }
  void Settings(int port, bool utf8) {
    WriteFileBytes(dir.File("s.INI"),
                   "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\n"
                   "submitemail=test-submit@example.com\r\n[svr0]\r\nhost=127.0.0.1:" +
                       std::to_string(port) + "\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n" +
                       (utf8 ? "charset=UTF-8\r\n" : ""));
  }
  std::string Err() const { return ReadFileBytes(dir.File("stderr")); }

  // Looks the disc up, submits the JSON back and returns the stored body.
  void Through(const Case& c, const std::string& config) {
    SCOPED_TRACE(c.name + " through " + config);
    const bool utf8 = config.find("utf8") != std::string::npos;
    const bool cp932 = config.find("cp932") != std::string::npos;
    const char* wire = utf8 ? "UTF-8" : cp932 ? "CP932" : "ISO-8859-1";
    const std::string codepage = !c.codepage.empty() ? c.codepage : cp932 || utf8 ? "CP932" : "ISO-8859-1";
    const std::string env = "-u http_proxy -u HTTP_PROXY SONOLABEL_CODEPAGE=" + codepage;
    std::unique_ptr<CddbdProcess> cddbd;
    std::unique_ptr<GnudbLikeServer> gnudb;
    if (config.rfind("cddbd", 0) == 0) {
      cddbd = std::make_unique<CddbdProcess>(cp932 ? std::vector<std::string>{"--level5-charset", "CP932"}
                                                   : std::vector<std::string>{});
      WriteFileBytes(cddbd->Root() + "/rock/23026203", c.entry);
      Settings(cddbd->Port(), utf8);
    } else {
      gnudb = std::make_unique<GnudbLikeServer>(
          std::map<std::string, GnudbLikeServer::Entry>{{"23026203", {"rock", c.entry}}});
      Settings(gnudb->Port(), utf8);
    }

    const Result looked = RunCli(dir, "lookup --drive 0 --choose 1", env);
    ASSERT_EQ(looked.status, 0) << Err() << looked.out;
    const auto json = platform::ReadJson(looked.out);
    ASSERT_TRUE(json.value && json.value->is_object()) << looked.out;
    WriteFileBytes(dir.File("fields.json"), looked.out);
    const Result sent = RunCli(dir, "submit --fields '" + dir.File("fields.json") + "'", env);
    ASSERT_EQ(sent.status, 0) << Err() << sent.out;

    std::string stored;
    if (cddbd) {
      std::vector<std::string> names;
      for (const auto& e : std::filesystem::directory_iterator(cddbd->Root() + "/submissions"))
        names.push_back(e.path().string());
      ASSERT_EQ(names.size(), 1u);
      stored = ReadFileBytes(names[0]);
    } else {
      ASSERT_EQ(gnudb->Stored().size(), 1u);
      stored = gnudb->Stored()[0];
    }
    const std::string body = stored.substr(stored.find("\r\n\r\n") + 4);
    const std::string text = Convert(body, wire, "UTF-8");

    // Every value of the original, joined, comes back; the revision is the
    // next one.
    auto want = Values(c.entry);
    auto got = Values(text);
    for (const char* key : {"DTITLE", "DYEAR", "DGENRE", "TTITLE0", "TTITLE1", "TTITLE2", "EXTD", "EXTT0",
                            "EXTT1", "EXTT2", "PLAYORDER"})
      EXPECT_EQ(got[key], want[key]) << key;
    EXPECT_EQ(RevisionLine(text), c.sentRevision);
    for (const auto& line : Lines(body)) EXPECT_LE(line.size() + 2, 256u) << line;

    // libcddb agrees on every title and artist, and on the extended data.
    const LibcddbEntry r = ReadWithLibcddb(dir.File("libcddb-cache"), "rock", 0x23026203, body);
    ASSERT_TRUE(r.ok);
    auto fromWire = [&](const std::string& s) { return Convert(s, wire, "UTF-8"); };
    const auto disc = Split(want["DTITLE"]);
    EXPECT_EQ(fromWire(r.artist), disc.first);
    EXPECT_EQ(fromWire(r.title), disc.second);
    EXPECT_EQ(std::to_string(r.year), want["DYEAR"]);
    EXPECT_EQ(fromWire(r.ext), want["EXTD"]);
    ASSERT_EQ(r.trackTitles.size(), 3u);
    for (std::size_t n = 0; n < 3; ++n) {
      const auto track = Split(want["TTITLE" + std::to_string(n)]);
      EXPECT_EQ(fromWire(r.trackTitles[n]), track.second) << n;
      // libcddb gives a track without an artist of its own the disc's.
      EXPECT_EQ(fromWire(r.trackArtists[n]), track.first.empty() ? disc.first : track.first) << n;
      EXPECT_EQ(fromWire(r.trackExt[n]), want["EXTT" + std::to_string(n)]) << n;
    }
  }

  TempDir dir;
};

TEST_F(RoundTrip, LookupThenCorrectionLosesNothingThroughBothServers) {
  for (const Case& c : Cases())
    for (const std::string& config : c.configs) {
      Through(c, config);
      std::filesystem::remove(dir.File("cdplayer.ini"));
    }
}

}  // namespace
}  // namespace sl::test
