// Reading a file whole (the image) and the parse cache that keeps a parsed
// file between reads while it stays the same.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "inifile/internal.h"

namespace sl::inifile::detail {

using text::IsAscii;

namespace {

constexpr std::size_t kKeptBufferBytes = std::size_t{16} << 20;
thread_local Buffer tSpareBuffer;

}  // namespace

Image::Image() : buf_(std::move(tSpareBuffer)) { tSpareBuffer = Buffer{}; }

Image::~Image() {
  if (buf_.capacity <= kKeptBufferBytes && buf_.capacity > tSpareBuffer.capacity) {
    tSpareBuffer = std::move(buf_);
  }
}

int Image::Load(const std::string& path) {
  // O_NONBLOCK: opening a FIFO put in the file's place must not hang.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  const int err = Load(fd);
  ::close(fd);
  return err;
}

int Image::Load(int fd) {
  used_ = 0;
  int err = 0;
  if (::fstat(fd, &st_) != 0) {
    err = errno;
  } else if (S_ISDIR(st_.st_mode)) {
    err = EISDIR;
  } else if (!S_ISREG(st_.st_mode)) {
    err = EINVAL;
  } else if (static_cast<std::uint64_t>(st_.st_size) > Profile::kMaxFileBytes) {
    tooLarge_ = true;
    err = EFBIG;
  } else {
    // One byte more than the size tells whether the file grew meanwhile.
    Reserve(static_cast<std::size_t>(st_.st_size) + 1);
    for (;;) {
      if (used_ == buf_.capacity) {
        if (used_ > Profile::kMaxFileBytes) {
          tooLarge_ = true;
          err = EFBIG;
          break;
        }
        Reserve(std::min(buf_.capacity * 2, Profile::kMaxFileBytes + 1));
      }
      const ssize_t n =
          ::pread(fd, buf_.data.get() + used_, buf_.capacity - used_, static_cast<off_t>(used_));
      if (n < 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
      }
      if (n == 0) break;
      used_ += static_cast<std::size_t>(n);
    }
  }
  if (err != 0) {
    used_ = 0;
    return err;
  }
  exists_ = true;
  if (Bytes().substr(0, kBom.size()) == kBom) {
    utf8_ = true;
    body_ = kBom.size();
  }
  return 0;
}

std::shared_ptr<const Parsed> ParseImage(const Image& img) {
  auto parsed = std::make_shared<Parsed>();
  parsed->bytes.assign(img.Bytes());
  parsed->body = img.Body();
  parsed->utf8 = img.Utf8();
  parsed->ascii = IsAscii(img.Bytes());
  const Codec codec(parsed->utf8, parsed->ascii);
  const text::ByteClasses& bc = codec.Classes();
  const std::string_view s = parsed->bytes;
  std::optional<Header> h = NextHeader(s, parsed->body, parsed->body, bc);
  parsed->sections.emplace("", Span{parsed->body, parsed->body, h ? h->lineStart : s.size()});
  while (h) {
    const auto next = NextHeader(s, parsed->body, h->bodyStart, bc);
    // An empty name ("[]") is a section no name reaches.
    if (!h->name.empty()) {
      parsed->sections.emplace(FoldedName(h->name, bc),
                               Span{h->lineStart, h->bodyStart, next ? next->lineStart : s.size()});
    }
    h = next;
  }
  return parsed;
}

namespace {

// What tells one state of a file from another: where it is, its size and
// its change times. Every write of ours renames a new file into place, so
// its identity changes with each write.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{}, ctime{};
  bool operator==(const Identity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

Identity IdentityOf(const struct stat& st) {
  return Identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// A change within the same tick of a coarse clock (whole seconds on some
// file systems) would not show in the times: such a file is trusted only
// once it has been left alone for a while, as Windows' own profile
// functions do.
bool TimesAreTrustworthy(const Identity& id) {
  if (id.ctime.tv_nsec != 0 || id.mtime.tv_nsec != 0) return true;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - id.ctime.tv_sec >= 2;
}

class ParseCache {
 public:
  static ParseCache& Instance() {
    static ParseCache cache;
    return cache;
  }

  // What answers reads of `section` of the file at path as it is now; null
  // when it does not exist or cannot be read. Each process sees a file for
  // the first time once (a window start, a command-line run): that first
  // read goes through the file for the one section asked for and keeps
  // nothing. A second read of the same unchanged file parses it whole and
  // keeps the parse, so that the many reads of a running window cost no
  // further pass over the file.
  std::shared_ptr<const Parsed> Get(const std::string& path, std::string_view section) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Load(path, nullptr);
    const Identity id = IdentityOf(st);
    bool seen = false;
    {
      std::lock_guard lock(mutex_);
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->path == path && it->id == id && TimesAreTrustworthy(id)) {
          if (!it->parsed) {
            seen = true;
            break;
          }
          // Most recently used first.
          std::rotate(entries_.begin(), it, it + 1);
          return entries_.front().parsed;
        }
      }
    }
    if (seen) return Load(path, &id);
    auto found = ScanOne(path, section);
    if (found && TimesAreTrustworthy(id)) {
      std::lock_guard lock(mutex_);
      std::erase_if(entries_, [&](const Entry& e) { return e.path == path; });
      entries_.insert(entries_.begin(), Entry{path, id, nullptr});
      if (entries_.size() > kEntries) entries_.pop_back();
    }
    return found;
  }

  void Forget(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.path == path; });
  }

 private:
  struct Entry {
    std::string path;
    Identity id;
    std::shared_ptr<const Parsed> parsed;
  };
  static constexpr std::size_t kEntries = 4;

  std::shared_ptr<const Parsed> Load(const std::string& path, const Identity* statted) {
    Image img;
    if (img.Load(path) != 0 || !img.Exists()) {
      Forget(path);
      return nullptr;
    }
    auto parsed = ParseImage(img);
    const Identity id = IdentityOf(img.Stat());
    // Kept only when the file read is the one statted a moment ago (not
    // replaced in between) and its times can be trusted.
    if (statted && *statted == id && TimesAreTrustworthy(id)) {
      std::lock_guard lock(mutex_);
      std::erase_if(entries_, [&](const Entry& e) { return e.path == path; });
      entries_.insert(entries_.begin(), Entry{path, id, parsed});
      if (entries_.size() > kEntries) entries_.pop_back();
    }
    return parsed;
  }

  // The lines of one section, read through the file once, as a parse that
  // answers for that section only.
  static std::shared_ptr<const Parsed> ScanOne(const std::string& path, std::string_view section) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st {};
    FoundSection found;
    const std::string_view name = Trim(section);
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    static_cast<std::uint64_t>(st.st_size) <= Profile::kMaxFileBytes &&
                    ScanForSection(
                        fd, static_cast<std::uint64_t>(st.st_size),
                        [&](bool utf8) { return Codec(utf8).TryEncode(name); }, false, found) == 0;
    ::close(fd);
    if (!ok) return nullptr;
    auto parsed = std::make_shared<Parsed>();
    parsed->utf8 = found.utf8;
    parsed->bytes = std::move(found.lines);
    parsed->ascii = IsAscii(parsed->bytes);
    parsed->onlySection = true;
    if (found.span) {
      const Codec codec(parsed->utf8, parsed->ascii);
      if (const auto encoded = codec.TryEncode(name)) {
        parsed->sections.emplace(FoldedName(*encoded, codec.Classes()), Span{0, 0, parsed->bytes.size()});
      }
    }
    return parsed;
  }

  std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace

std::shared_ptr<const Parsed> CachedParse(const std::string& path, std::string_view section) {
  return ParseCache::Instance().Get(path, section);
}

void ForgetParse(const std::string& path) { ParseCache::Instance().Forget(path); }

}  // namespace sl::inifile::detail
