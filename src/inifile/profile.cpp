#include "inifile/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "inifile/internal.h"
#include "inifile/replace.h"

namespace sl::inifile {

// The engine's parts (grammar, scan, splice, cache, replace) are this
// file's vocabulary.
using namespace detail;
using text::IsAscii;

Profile::Profile(std::string path) : path_(std::move(path)) {}

std::string Profile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  const ParsedView view(CachedParse(path_, section));
  return view.Value(section, key).value_or(std::string(def));
}

int Profile::ReadInteger(std::string_view section, std::string_view key, int def) const {
  return ParseProfileInteger(ReadString(section, key, "")).value_or(def);
}

bool Profile::HasSection(std::string_view section) const {
  const ParsedView view(CachedParse(path_, section));
  const auto span = view.Find(section);
  if (!span) return false;
  if (!Trim(section).empty()) return true;
  // The lines before the first header count as a section when they hold
  // an entry.
  bool any = false;
  view.Lines(*span, [&](const ParsedLine& l) {
    any = l.kind == LineKind::Entry;
    return !any;
  });
  return any;
}

std::optional<Profile::KeyValues> Profile::ReadSection(std::string_view section) const {
  const ParsedView view(CachedParse(path_, section));
  const auto span = view.Find(section);
  if (!span) return std::nullopt;
  KeyValues out;
  view.Lines(*span, [&](const ParsedLine& l) {
    if (l.kind == LineKind::Entry && (l.key.empty() || l.key.front() != ';')) {
      out.emplace_back(view.codec().Decode(l.key),
                       l.hasValue ? view.codec().Decode(Unquote(l.value)) : std::string());
    }
    return true;
  });
  if (Trim(section).empty() && out.empty()) return std::nullopt;
  return out;
}

bool Profile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  return WriteSections({SectionKeys{std::string(section), {{std::string(key), std::string(value)}}}});
}

bool Profile::WriteInteger(std::string_view section, std::string_view key, int value) {
  return WriteString(section, key, std::to_string(value));
}

bool Profile::WriteKeys(std::string_view section, const KeyValues& keys) {
  return WriteSections({SectionKeys{std::string(section), keys}});
}

bool Profile::DeleteKey(std::string_view section, std::string_view key) {
  return WriteSections({SectionKeys{std::string(section), {}, {std::string(key)}}});
}

bool Profile::Fail(std::string message) {
  lastError_ = std::move(message);
  return false;
}

bool Profile::WriteSections(const std::vector<SectionKeys>& sections) {
  return Transact([&](const Reader&, std::vector<SectionKeys>& out, std::string&) {
    out = sections;
    return true;
  });
}

// Reads of the file as a transaction found it, under its lock.
// The file is read whole and parsed on the first read only: a change that
// just writes (or only asks what the encoding can hold) costs neither on a
// large file.
class Profile::Reader::Impl {
 public:
  // fd: the locked file, or -1 when there is none.
  Impl(int fd, bool utf8) : fd_(fd), codec_(utf8) {}
  // Reads the whole file once; 0 or an errno.
  int Load() const {
    if (!loaded_) {
      loaded_ = true;
      loadError_ = fd_ >= 0 ? img_.Load(fd_) : 0;
    }
    return loadError_;
  }
  bool Loaded() const { return loaded_; }
  const Image& Img() const {
    Load();
    return img_;
  }
  const ParsedView& View() const {
    if (!view_) view_.emplace(Img().Exists() ? ParseImage(img_) : nullptr);
    return *view_;
  }
  const Codec& codec() const { return codec_; }

 private:
  int fd_;
  Codec codec_;
  mutable Image img_;
  mutable bool loaded_ = false;
  mutable int loadError_ = 0;
  mutable std::optional<ParsedView> view_;
};

Profile::Reader::Reader(const Impl& impl) : impl_(impl) {}

std::string Profile::Reader::ReadString(std::string_view section, std::string_view key,
                                        std::string_view def) const {
  return impl_.View().Value(section, key).value_or(std::string(def));
}

std::optional<std::string> Profile::Reader::Find(std::string_view section, std::string_view key) const {
  return impl_.View().Value(section, key);
}

bool Profile::Reader::Storable(std::string_view value) const {
  return impl_.codec().TryEncode(value).has_value();
}

namespace {

// Where a write goes: the file the path names (links followed), its folder
// and name, and, under the lock, the file as it is now.
struct WriteTarget {
  std::string path;
  std::string dir;
  std::string base;
  int fd = -1;  // the locked file, -1 when there is none
  struct stat st {};
};

std::string LoadFailureText(const std::string& target, int err) {
  if (err == EFBIG) return "ファイル " + target + " が大きすぎます";
  return target + " を読み込めません: " + ErrnoText(err);
}

// Under the lock, the file as it is now (another process may have just
// replaced it): its state, and whether it starts with a UTF-8 byte-order
// mark. The failure's text, if any.
std::optional<std::string> ReadLockedState(WriteTarget& t, bool& utf8) {
  if (t.fd < 0) return std::nullopt;
  if (::fstat(t.fd, &t.st) != 0) return t.path + " を読み込めません: " + ErrnoText(errno);
  if (!S_ISREG(t.st.st_mode))
    return t.path + " を読み込めません: " + ErrnoText(S_ISDIR(t.st.st_mode) ? EISDIR : EINVAL);
  if (static_cast<std::uint64_t>(t.st.st_size) > Profile::kMaxFileBytes)
    return "ファイル " + t.path + " が大きすぎます";
  char head[3];
  utf8 = ::pread(t.fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
         std::string_view(head, sizeof head) == kBom;
  return std::nullopt;
}

enum class InPlace { NotApplicable, Done, Failed };

// The usual change, keys of one section: the file is read through once to
// find the section and keep its lines, and the new file is the old one's
// bytes before the section, the section's new lines and the old bytes after
// it, the old bytes copied file to file by the kernel. NotApplicable for a
// file with other line ends than CR LF, which is rewritten whole.
// `cachedPath`: the path the parse cache knows the file by.
InPlace WriteSectionInPlace(const WriteTarget& t, bool utf8, const std::vector<EncodedSection>& encoded,
                            const std::string& cachedPath, std::string& error) {
  FoundSection found;
  if (t.fd >= 0) {
    const std::string& name = encoded.front().name;
    const int err = ScanForSection(
        t.fd, static_cast<std::uint64_t>(t.st.st_size),
        [&](bool) { return std::optional<std::string>(name); }, true, found);
    if (err != 0) {
      error = LoadFailureText(t.path, err);
      return InPlace::Failed;
    }
  }
  if (!found.crlf || found.utf8 != utf8) return InPlace::NotApplicable;
  // Only the section's own lines are parsed.
  const Codec splicing(utf8, IsAscii(found.lines) && AllAscii(encoded));
  const auto sp =
      SectionSpliceAt(found.lines, found.span, found.size, false, encoded.front(), splicing.Classes());
  if (!sp) return InPlace::Done;  // nothing changes
  const std::uint64_t total = found.size - (sp->end - sp->begin) + sp->text.size();
  if (total > Profile::kMaxFileBytes) {
    error = "ファイル " + t.path + " が大きくなりすぎます";
    return InPlace::Failed;
  }
  std::vector<Piece> pieces;
  if (sp->begin > 0) pieces.push_back(Piece{{}, t.fd, 0, sp->begin});
  pieces.push_back(Piece{sp->text});
  if (found.size > sp->end) pieces.push_back(Piece{{}, t.fd, sp->end, found.size - sp->end});
  ForgetParse(cachedPath);
  if (!ReplaceFile(t.path, t.dir, t.base, pieces, t.fd >= 0 ? &t.st : nullptr, error)) return InPlace::Failed;
  return InPlace::Done;
}

// Any other change: the file read whole (`img`, parsed as `view`) gets every
// section spliced in, and is written as three pieces (before, the new lines,
// after), or rewritten whole when its line ends are not all CR LF. False,
// with `error`, when it fails.
bool WriteWholeFile(const WriteTarget& t, const Image& img, const ParsedView& view,
                    const std::vector<EncodedSection>& encoded, const std::string& cachedPath,
                    std::string& error) {
  // The text the changes are spliced into: the file with the new lines.
  // Only a small file is scanned for it: on a large one the scan would cost
  // more than finding the code page's two-byte classes once.
  constexpr std::size_t kAsciiScanBytes = 1 << 20;
  const bool asciiText = img.Bytes().size() <= kAsciiScanBytes && IsAscii(img.Bytes()) && AllAscii(encoded);
  const Codec splicing(img.Utf8(), asciiText);

  std::string_view text = img.Bytes();
  std::string owned;
  const std::optional<Splice> pending = SpliceSections(img, view, encoded, splicing.Classes(), text, owned);
  if (!pending) return true;  // nothing changes

  std::vector<Piece> pieces = {Piece{text.substr(0, pending->begin)}, Piece{pending->text},
                               Piece{text.substr(pending->end)}};
  std::string normalised;
  if (!HasCrlfLineEnds(text, img.Body())) {
    // Line ends other than CR LF anywhere: the whole file is rewritten.
    normalised = ToCrlf(ApplySplice(text, *pending), img.Body());
    pieces = {Piece{normalised}};
  }
  std::size_t total = 0;
  for (const Piece& piece : pieces) total += piece.bytes.size();
  if (total > Profile::kMaxFileBytes) {
    error = "ファイル " + t.path + " が大きくなりすぎます";
    return false;
  }

  ForgetParse(cachedPath);
  return ReplaceFile(t.path, t.dir, t.base, pieces, img.Exists() ? &img.Stat() : nullptr, error);
}

}  // namespace

bool Profile::Transact(const Change& change) {
  lastError_.clear();
  if (WriteScope::Active()) return Fail("別の書き込みがまだ終わっていません");
  WriteScope scope;
  if (path_.empty()) return Fail("ファイル名がありません");

  WriteTarget t;
  t.path = ResolveTarget(path_);
  const std::filesystem::path tp(t.path);
  t.base = tp.filename().string();
  t.dir = tp.has_parent_path() ? tp.parent_path().string() : ".";
  if (t.base.empty()) return Fail("「" + path_ + "」はファイル名ではありません");

  FileLock lock;
  std::string error;
  if (!lock.Acquire(t.path, t.dir, error)) return Fail(error);
  t.fd = lock.FileFd();
  bool utf8 = false;
  if (auto problem = ReadLockedState(t, utf8)) return Fail(*problem);

  std::vector<SectionKeys> sections;
  const Reader::Impl readerImpl(t.fd, utf8);
  if (!change(Reader(readerImpl), sections, error))
    return Fail(error.empty() ? "変更できませんでした" : error);
  if (sections.empty()) return true;

  // Names are checked before anything touches the disk.
  if (auto problem = NamesProblem(sections)) return Fail(*problem);
  if (t.fd >= 0 && ((t.st.st_mode & 0222) == 0 || ::access(t.path.c_str(), W_OK) != 0)) {
    return Fail("ファイル " + t.path + " は読み取り専用です");
  }

  std::vector<EncodedSection> encoded;
  if (auto problem = EncodeSections(Codec(utf8), sections, encoded)) return Fail(*problem);

  if (encoded.size() == 1 && !readerImpl.Loaded()) {
    const InPlace written = WriteSectionInPlace(t, utf8, encoded, path_, error);
    if (written == InPlace::Failed) return Fail(error);
    if (written == InPlace::Done) return true;
  }

  if (const int err = readerImpl.Load(); err != 0) return Fail(LoadFailureText(t.path, err));
  if (!WriteWholeFile(t, readerImpl.Img(), readerImpl.View(), encoded, path_, error)) return Fail(error);
  return true;
}

}  // namespace sl::inifile
