// INI files as Windows programs and users leave them: read every key and
// section the file seems to hold, write one key, and read again. The written
// key reads back, every other key and section reads as before, and every
// line of the file but the one rewritten is still there, in order.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "inifile/profile.h"
#include "support.h"

using namespace sl;

namespace {

std::string Trim(std::string_view s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  const auto e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

// Lines as the reading rules cut them: at LF, CR LF or a lone CR.
std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      out.emplace_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) out.emplace_back(text.substr(start));
  return out;
}

// Whether `before` is a subsequence of `after` once at most one of its lines
// is left out.
bool KeptButOne(const std::vector<std::string>& before, const std::vector<std::string>& after) {
  const long long n = static_cast<long long>(before.size());
  const long long m = static_cast<long long>(after.size());
  const long long kNone = -1;
  // pre[i]: where in `after` a greedy match of before[0..i) from the front
  // ends; suf[i]: where a greedy match of before[i..n) from the back starts.
  std::vector<long long> pre(static_cast<std::size_t>(n + 1), kNone),
      suf(static_cast<std::size_t>(n + 1), kNone);
  pre[0] = 0;
  for (long long i = 0, j = 0; i < n; ++i) {
    while (j < m && after[static_cast<std::size_t>(j)] != before[static_cast<std::size_t>(i)]) ++j;
    if (j == m) break;
    pre[static_cast<std::size_t>(i + 1)] = ++j;
  }
  suf[static_cast<std::size_t>(n)] = m;
  for (long long i = n - 1, j = m; i >= 0; --i) {
    while (j > 0 && after[static_cast<std::size_t>(j - 1)] != before[static_cast<std::size_t>(i)]) --j;
    if (j == 0) break;
    suf[static_cast<std::size_t>(i)] = --j;
  }
  if (pre[static_cast<std::size_t>(n)] != kNone) return true;
  for (long long k = 0; k < n; ++k) {
    const long long p = pre[static_cast<std::size_t>(k)], q = suf[static_cast<std::size_t>(k + 1)];
    if (p != kNone && q != kNone && p <= q) return true;
  }
  return false;
}

const char* kValues[] = {"plain value", "  padded  ", "\"quoted\"", "a=b;c", "", "タイトル"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = fuzz::ScratchDir() + "/profile.ini";
  if (size < 2) return 0;
  const std::uint8_t pick = data[0], which = data[1];
  const std::string_view file(reinterpret_cast<const char*>(data) + 2, size - 2);
  fuzz::ReplaceFile(path, file);

  // The sections and keys the file seems to hold (a rough reading is
  // enough: every name asked is compared before and after).
  std::vector<std::string> sections{""};
  std::vector<std::pair<std::string, std::string>> keys;
  std::string current;
  for (const auto& raw : Lines(file)) {
    const std::string line = Trim(raw);
    const auto close = line.rfind(']');
    if (!line.empty() && line[0] == '[' && close != std::string::npos) {
      current = Trim(std::string_view(line).substr(1, close - 1));
      if (sections.size() < 64) sections.push_back(current);
      continue;
    }
    if (keys.size() < 256) keys.emplace_back(current, Trim(line.substr(0, line.find('='))));
  }

  const inifile::Profile profile(path);
  std::vector<std::string> valuesBefore;
  for (const auto& [s, k] : keys) valuesBefore.push_back(profile.ReadString(s, k, "\x01missing"));
  std::vector<std::optional<inifile::Profile::KeyValues>> sectionsBefore;
  for (const auto& s : sections) sectionsBefore.push_back(profile.ReadSection(s));

  // The key written: one the file holds, or a new one in a section it
  // holds, or in a new section.
  std::string section = "fuzz section", key = "fuzz key";
  if (pick % 3 == 0 && !keys.empty()) {
    std::tie(section, key) = keys[which % keys.size()];
  } else if (pick % 3 == 1) {
    section = sections[which % sections.size()];
  }
  const std::string value = kValues[(pick / 3) % std::size(kValues)];

  inifile::Profile writer(path);
  const bool wrote = writer.WriteString(section, key, value);
  const std::string after = fuzz::ReadFile(path);
  if (!wrote) {
    FUZZ_CHECK(after == file);
    return 0;
  }
  // A write that changes nothing leaves the file as it is; any other
  // rewrites it with CR LF line ends.
  if (after != file) FUZZ_CHECK(after.size() >= 2 && after.compare(after.size() - 2, 2, "\r\n") == 0);
  FUZZ_CHECK(KeptButOne(Lines(file), Lines(after)));

  const inifile::Profile reader(path);
  FUZZ_CHECK(reader.ReadString(section, key, "\x01missing") == value);
  auto same = [](const std::string& a, const std::string& b) { return Lower(Trim(a)) == Lower(Trim(b)); };
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto& [s, k] = keys[i];
    if (same(s, section) && same(k, key)) continue;
    FUZZ_CHECK(reader.ReadString(s, k, "\x01missing") == valuesBefore[i]);
  }
  for (std::size_t i = 0; i < sections.size(); ++i) {
    auto expected = sectionsBefore[i];
    if (same(sections[i], section)) {
      if (!expected) expected.emplace();
      auto it = std::find_if(expected->begin(), expected->end(),
                             [&](const auto& kv) { return same(kv.first, key); });
      if (it != expected->end()) {
        it->second = value;
      } else {
        expected->emplace_back(key, value);
      }
    }
    FUZZ_CHECK(reader.ReadSection(sections[i]) == expected);
  }
  return 0;
}
