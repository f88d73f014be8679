#include "text/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include "text/utf8.h"

namespace sl::text {

namespace {

constexpr const char* kDefaultCodePage = "CP932";
// iconv_open's failure value, as its interface defines it.
// NOLINTNEXTLINE(misc-misplaced-const,performance-no-int-to-ptr)
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

std::string CodePointName(char32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
  return buf;
}

enum class Probe { Complete, Incomplete, Invalid };

// Converts exactly the given bytes with cd and says how the attempt ended.
Probe ProbeBytes(iconv_t cd, const unsigned char* bytes, std::size_t n) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char in[4];
  std::memcpy(in, bytes, n);
  char out[32];
  char* inp = in;
  char* outp = out;
  std::size_t inleft = n;
  std::size_t outleft = sizeof out;
  if (iconv(cd, &inp, &inleft, &outp, &outleft) == static_cast<std::size_t>(-1)) {
    return errno == EINVAL ? Probe::Incomplete : Probe::Invalid;
  }
  return inleft == 0 ? Probe::Complete : Probe::Invalid;
}

// Which of the pairs (lead, t) for t in [first, 0xFF] the converter takes
// as one character. The pairs go through in runs, one iconv call per run,
// each pair followed by a line feed so that no pair can join the next one
// into a longer character (GB18030 has four-byte ones): a pair the
// converter refuses ends a run, the next run starts after it. A few dozen
// calls per lead byte instead of one call per pair.
std::array<bool, 256> PairsThatConvert(iconv_t cd, unsigned char lead, unsigned first) {
  constexpr std::size_t kStep = 3;  // lead, t, line feed
  std::array<bool, 256> ok{};
  char in[kStep * 256];
  std::size_t n = 0;
  for (unsigned t = first; t <= 0xFF; ++t) {
    in[n++] = static_cast<char>(lead);
    in[n++] = static_cast<char>(t);
    in[n++] = '\n';
  }
  char out[8 * kStep * 256];
  std::size_t pos = 0;
  while (pos < n) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* inp = in + pos;
    std::size_t inleft = n - pos;
    char* outp = out;
    std::size_t outleft = sizeof out;
    const bool whole = iconv(cd, &inp, &inleft, &outp, &outleft) != static_cast<std::size_t>(-1);
    const std::size_t done = static_cast<std::size_t>(inp - in);
    // Every pair (and its line feed) before the stop went through whole.
    for (std::size_t i = pos; i + kStep <= done; i += kStep) ok[first + i / kStep] = true;
    if (whole) break;
    // The pair the converter stopped in is no two-byte character.
    pos = done - done % kStep + kStep;
  }
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  return ok;
}

ByteClasses ComputeByteClasses(iconv_t from) {
  ByteClasses c;
  if (from == kNoConverter) return c;
  for (unsigned b = 0x80; b <= 0xFF; ++b) {
    const unsigned char alone[1] = {static_cast<unsigned char>(b)};
    if (ProbeBytes(from, alone, 1) != Probe::Incomplete) continue;
    const auto ok = PairsThatConvert(from, static_cast<unsigned char>(b), 0x20);
    bool asciiTrail = false;
    for (unsigned t = 0x20; t < 0x80; ++t) asciiTrail = asciiTrail || ok[t];
    if (!asciiTrail) continue;
    c.lead[b] = true;
    for (unsigned t = 0x20; t <= 0xFF; ++t) c.trail[t] = c.trail[t] || ok[t];
  }
  iconv(from, nullptr, nullptr, nullptr, nullptr);
  return c;
}

// CP932's classes as glibc's converter gives them: the lead bytes of the rows
// that hold at least one character (rows 0x85, 0x86, 0x88, 0xEB and 0xEC hold
// none), and the trail bytes 0x40-0x7E and 0x80-0xFC. Working them out pair
// by pair costs some four million instructions, which every start that
// reads a non-ASCII line of the settings or "cdplayer.ini" would pay for the
// default code page; a test checks the table against the converter.
ByteClasses Cp932ByteClasses() {
  ByteClasses c;
  const auto set = [](std::array<bool, 256>& bytes, unsigned from, unsigned to) {
    for (unsigned b = from; b <= to; ++b) bytes[b] = true;
  };
  for (const auto& [from, to] : {std::pair{0x81u, 0x84u}, std::pair{0x87u, 0x87u}, std::pair{0x89u, 0x9Fu},
                                 std::pair{0xE0u, 0xEAu}, std::pair{0xEDu, 0xEEu}, std::pair{0xF0u, 0xFCu}}) {
    set(c.lead, from, to);
  }
  set(c.trail, 0x40, 0x7E);
  set(c.trail, 0x80, 0xFC);
  return c;
}

bool IsCp932(const std::string& name) {
  return name.size() == 5 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'P' || name[1] == 'p') &&
         name.compare(2, 3, "932") == 0;
}

// The iconv descriptors of one thread, reopened when the code page's name
// changes.
class Converters {
 public:
  ~Converters() { Close(); }

  void Select(const std::string& name) {
    if (opened_ && name == name_) return;
    Close();
    name_ = name;
    to_ = iconv_open(name.c_str(), "UTF-8");
    from_ = iconv_open("UTF-8", name.c_str());
    opened_ = true;
    classes_.reset();
  }
  const std::string& Name() const { return name_; }
  iconv_t To() const { return to_; }
  iconv_t From() const { return from_; }
  const ByteClasses& Classes() {
    if (!classes_) {
      classes_ = from_ != kNoConverter && IsCp932(name_) ? Cp932ByteClasses() : ComputeByteClasses(from_);
    }
    return *classes_;
  }

 private:
  void Close() {
    if (to_ != kNoConverter) iconv_close(to_);
    if (from_ != kNoConverter) iconv_close(from_);
    to_ = from_ = kNoConverter;
    opened_ = false;
  }
  std::string name_;
  iconv_t to_ = kNoConverter;
  iconv_t from_ = kNoConverter;
  bool opened_ = false;
  std::optional<ByteClasses> classes_;
};

// The code page in effect, shared by every thread's converters.
std::mutex& CodePageLock() {
  static std::mutex lock;
  return lock;
}
std::string& CodePageInEffect() {
  static std::string name = kDefaultCodePage;
  return name;
}

Converters& Current() {
  thread_local Converters converters;
  converters.Select(ExternalCodePageName());
  return converters;
}

}  // namespace

void SetExternalCodePage(const std::string& name) {
  const std::lock_guard<std::mutex> hold(CodePageLock());
  CodePageInEffect() = name.empty() ? std::string(kDefaultCodePage) : name;
}

std::string ExternalCodePageName() {
  const std::lock_guard<std::mutex> hold(CodePageLock());
  return CodePageInEffect();
}

std::string CodePointName(std::string_view utf8Char) {
  if (utf8Char.empty()) return "U+0000";
  const Utf8Char c = DecodeUtf8(utf8Char, 0);
  return CodePointName(c.length == 0 ? static_cast<char32_t>(static_cast<unsigned char>(utf8Char[0]))
                                     : c.codePoint);
}

std::string ToExternal(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  for (std::size_t i = 0; i < utf8.size();) {
    const Utf8Char c = DecodeUtf8(utf8, i);
    if (c.length == 0) {
      char buf[120];
      std::snprintf(buf, sizeof buf, "テキストが正しいUTF-8ではありません（%zu バイト目の 0x%02X）", i,
                    static_cast<unsigned>(static_cast<unsigned char>(utf8[i])));
      throw CodePageError(buf);
    }
    i += c.length;
  }

  Converters& conv = Current();
  if (conv.To() == kNoConverter) {
    throw CodePageError("コードページ「" + conv.Name() + "」は使えません（SONOLABEL_CODEPAGE）");
  }
  iconv_t cd = conv.To();
  iconv(cd, nullptr, nullptr, nullptr, nullptr);

  std::string out(utf8.size() * 2 + 16, '\0');
  char* inp = const_cast<char*>(utf8.data());
  std::size_t inleft = utf8.size();
  std::size_t used = 0;
  // One iconv step into the free part of out; false on an error other than
  // a full output buffer (which just grows the buffer).
  auto step = [&](bool flush) {
    for (;;) {
      char* outp = out.data() + used;
      std::size_t outleft = out.size() - used;
      const std::size_t r =
          flush ? iconv(cd, nullptr, nullptr, &outp, &outleft) : iconv(cd, &inp, &inleft, &outp, &outleft);
      used = static_cast<std::size_t>(outp - out.data());
      if (r != static_cast<std::size_t>(-1)) return true;
      if (errno != E2BIG) return false;
      out.resize(out.size() * 2);
    }
  };
  while (inleft > 0) {
    if (step(false)) continue;
    // The input is well-formed UTF-8, so the code page lacks this character.
    const std::size_t at = static_cast<std::size_t>(inp - utf8.data());
    const Utf8Char c = DecodeUtf8(utf8, at);
    const std::string shown(utf8.substr(at, c.length == 0 ? 1 : c.length));
    throw CodePageError("文字「" + shown + "」（" + CodePointName(c.codePoint) + "）はコードページ " +
                        conv.Name() + " で表せません。");
  }
  step(true);  // ends any shift state (stateful encodings)
  out.resize(used);
  return out;
}

namespace {

// Converts bytes with cd (a converter to UTF-8); every byte it cannot take
// becomes U+FFFD and is noted.
std::string ConvertToUtf8(iconv_t cd, std::string_view bytes, std::vector<std::size_t>* undecodable) {
  std::string out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out.resize(bytes.size() * 3 + 16);
  char* inp = const_cast<char*>(bytes.data());
  std::size_t inleft = bytes.size();
  std::size_t used = 0;
  while (inleft > 0) {
    if (out.size() - used < 16) out.resize(out.size() * 2);
    char* outp = out.data() + used;
    std::size_t outleft = out.size() - used;
    const std::size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
    used = static_cast<std::size_t>(outp - out.data());
    if (r != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // EILSEQ: one undecodable byte; EINVAL: a character cut off at the end.
    // Either way replace one byte and go on from the next.
    if (out.size() - used < kReplacementUtf8.size()) out.resize(out.size() * 2);
    std::memcpy(out.data() + used, kReplacementUtf8.data(), kReplacementUtf8.size());
    used += kReplacementUtf8.size();
    NoteUndecodable(undecodable, static_cast<std::size_t>(inp - bytes.data()));
    ++inp;
    --inleft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(used);
  return out;
}

}  // namespace

std::string FromExternal(std::string_view bytes, std::vector<std::size_t>* undecodable) {
  if (IsAscii(bytes)) return std::string(bytes);
  Converters& conv = Current();
  iconv_t cd = conv.From();
  if (cd == kNoConverter) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (static_cast<unsigned char>(bytes[i]) < 0x80) {
        out += bytes[i];
      } else {
        out += kReplacementUtf8;
        NoteUndecodable(undecodable, i);
      }
    }
    return out;
  }
  return ConvertToUtf8(cd, bytes, undecodable);
}

std::optional<std::string> FromCodePage(std::string_view bytes, const std::string& codePage,
                                        std::vector<std::size_t>* undecodable) {
  // One converter per thread, kept for the code page asked for last: a
  // caller decodes many short texts of one code page in a row.
  struct Cached {
    std::string name;
    iconv_t cd = kNoConverter;
    ~Cached() {
      if (cd != kNoConverter) iconv_close(cd);
    }
  };
  thread_local Cached cached;
  if (cached.cd == kNoConverter || cached.name != codePage) {
    if (cached.cd != kNoConverter) iconv_close(cached.cd);
    cached.name = codePage;
    cached.cd = iconv_open("UTF-8", codePage.c_str());
  }
  if (cached.cd == kNoConverter) return std::nullopt;
  return ConvertToUtf8(cached.cd, bytes, undecodable);
}

bool IsDoubleByteChar(std::string_view utf8Char) {
  if (utf8Char.empty()) return false;
  if (static_cast<unsigned char>(utf8Char[0]) < 0x80) return false;
  const Utf8Char c = DecodeUtf8(utf8Char, 0);
  if (c.length == 0) return true;
  try {
    return ToExternal(utf8Char.substr(0, c.length)).size() > 1;
  } catch (const CodePageError&) {
    return true;
  }
}

const ByteClasses& ExternalByteClasses() { return Current().Classes(); }

std::optional<ByteClasses> ProbeByteClasses(const std::string& codePage) {
  iconv_t from = iconv_open("UTF-8", codePage.c_str());
  if (from == kNoConverter) return std::nullopt;
  ByteClasses classes = ComputeByteClasses(from);
  iconv_close(from);
  return classes;
}

}  // namespace sl::text
