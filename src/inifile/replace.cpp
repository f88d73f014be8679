// The atomic replacement of a profile file: the writers' lock on the file
// (or its folder), a temporary file beside it written from memory and from
// ranges of the old file, flushed, renamed over the file, and the folder
// flushed.
#include "inifile/replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "inifile/profile.h"
#include "platform/pump.h"

namespace sl::inifile::detail {

// The reason of a failed system call, in the interface's language.
std::string ErrnoText(int err) {
  switch (err) {
    case EACCES:
    case EPERM: return "アクセスが許可されていません";
    case ENOENT: return "ファイルかフォルダがありません";
    case ENOSPC: return "ディスクの空きが足りません";
    case EDQUOT: return "ディスクの割り当てを超えました";
    case EROFS: return "読み取り専用のファイルシステムです";
    case EIO: return "入出力エラーです";
    case EISDIR: return "フォルダです";
    case ENOTDIR: return "フォルダではありません";
    case ENAMETOOLONG: return "名前が長すぎます";
    case EFBIG: return "ファイルが大きすぎます";
    case ELOOP: return "シンボリックリンクが多すぎます";
    case EMFILE:
    case ENFILE: return "開いているファイルが多すぎます";
    case EINVAL: return "通常のファイルではありません";
    default: return "エラー " + std::to_string(err) + "（" + std::strerror(err) + "）";
  }
}

// Follows symbolic links, so that the file they point to is replaced rather
// than the link.
std::string ResolveTarget(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path p = path;
  for (int hops = 0; hops < 16; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(p, ec)) || ec) break;
    fs::path t = fs::read_symlink(p, ec);
    if (ec) break;
    p = t.is_absolute() ? t : p.parent_path() / t;
  }
  return p.string();
}

namespace {
thread_local bool tWriting = false;
}  // namespace

WriteScope::WriteScope() { tWriting = true; }
WriteScope::~WriteScope() { tWriting = false; }
bool WriteScope::Active() { return tWriting; }

bool FileLock::Acquire(const std::string& target, const std::string& dir, std::string& error) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(Profile::kLockWaitMilliseconds);
  for (;;) {
    Release();
    // O_NONBLOCK: opening a FIFO put in the file's place must not hang.
    // Opened for writing where we may: file systems that emulate flock
    // with byte-range locks (NFS) lock only files open for writing.
    fd_ = ::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 && errno != ENOENT) fd_ = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    onFile_ = fd_ >= 0;
    if (fd_ < 0) {
      if (errno != ENOENT) {
        error = target + " を読み込めません: " + ErrnoText(errno);
        return false;
      }
      fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd_ < 0) {
        error = "フォルダ " + dir + " に書き込めません: " + ErrnoText(errno);
        return false;
      }
    }
    bool again = false;
    for (;;) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) break;
      if (errno != EWOULDBLOCK && errno != EINTR) {
        if (!onFile_) {
          // A file system that cannot lock a folder: the (empty) file is
          // made, to be locked like any other.
          const int made = ::open(target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
          if (made >= 0 || errno == EEXIST) {
            if (made >= 0) ::close(made);
            again = true;
            break;
          }
        }
        error = target + " をロックできません: " + ErrnoText(errno);
        return false;
      }
      const auto now = Clock::now();
      if (now >= deadline) {
        error = "ファイルは別のプログラムが使用中です（" + target + "）";
        return false;
      }
      // Another writer holds the lock for a few milliseconds at most; keep
      // the window live only when the wait gets noticeably long.
      if (now - start > std::chrono::milliseconds(100)) platform::ProcessMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (again && Clock::now() < deadline) continue;
    struct stat now {};
    const bool present = ::stat(target.c_str(), &now) == 0;
    if (onFile_) {
      struct stat held {};
      if (present && ::fstat(fd_, &held) == 0 && held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
        return true;
      }
    } else if (!present && errno == ENOENT) {
      return true;
    }
    // Replaced (or created) while we waited: lock what is there now.
    if (Clock::now() >= deadline) {
      Release();
      error = "ファイルは別のプログラムが使用中です（" + target + "）";
      return false;
    }
  }
}

void FileLock::Release() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  fd_ = -1;
  onFile_ = false;
}

namespace {

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string RandomSuffix() {
  thread_local std::mt19937_64 rng{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid()) << 32};
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, rng(), 16);
  return std::string(buf, r.ptr);
}

// Removes temporary files that a writer killed before its rename left
// behind. Only called under the lock, when no live writer has one.
void RemoveStaleTemporaries(const std::string& dir, const std::string& prefix) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) {
      ::unlinkat(::dirfd(d), e->d_name, 0);
    }
  }
  ::closedir(d);
}

// Copies [offset, offset + length) of `from` to the current position of
// `to`. False with errno set; a source that turns out shorter is EIO.
bool CopyRange(int from, std::uint64_t offset, std::uint64_t length, int to) {
  loff_t in = static_cast<loff_t>(offset);
  bool inKernel = true;
  std::unique_ptr<char[]> buf;
  constexpr std::size_t kCopyBlock = 64 << 10;
  while (length > 0) {
    if (inKernel) {
      const ssize_t n = ::copy_file_range(from, &in, to, nullptr, static_cast<std::size_t>(length), 0);
      if (n > 0) {
        length -= static_cast<std::uint64_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                    errno == EBADF || errno == EPERM)) {
        inKernel = false;  // a file system or kernel that cannot: copy by hand
        continue;
      }
      if (n == 0) errno = EIO;
      return false;
    }
    if (!buf) buf = std::make_unique_for_overwrite<char[]>(kCopyBlock);
    const ssize_t n =
        ::pread(from, buf.get(), static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyBlock)), in);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    if (!WriteAll(to, std::string_view(buf.get(), static_cast<std::size_t>(n)))) return false;
    in += n;
    length -= static_cast<std::uint64_t>(n);
  }
  return true;
}

}  // namespace

// Writes the pieces, one after the other, to a temporary file beside
// target, flushes it, renames it over target and flushes the folder.
// `old`: the file replaced (null when there is none).
bool ReplaceFile(const std::string& target, const std::string& dir, const std::string& base,
                 const std::vector<Piece>& pieces, const struct stat* old, std::string& error) {
  const std::string prefix = "." + base + ".tmp-";
  RemoveStaleTemporaries(dir, prefix);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = dir + "/" + prefix + std::to_string(::getpid()) + "-" + RandomSuffix();
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    error = "フォルダ " + dir + " に書き込めません: " + ErrnoText(errno);
    return false;
  }
  auto fail = [&](const std::string& what) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    error = what + ": " + ErrnoText(err);
    return false;
  };
  if (old != nullptr) {
    // The new file keeps the old one's permissions (and owner, when we may).
    ::fchmod(fd, old->st_mode & 07777);
    if (::geteuid() == 0) {
      if (::fchown(fd, old->st_uid, old->st_gid) != 0) { /* keep ours */
      }
    }
  }
  for (const Piece& piece : pieces) {
    const bool ok =
        piece.fd >= 0 ? CopyRange(piece.fd, piece.offset, piece.length, fd) : WriteAll(fd, piece.bytes);
    if (!ok) return fail(temp + " に書き込めません");
  }
  if (::fsync(fd) != 0) return fail(temp + " をディスクに書き出せません");
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return fail(temp + " に書き込めません");
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail(target + " を置き換えられません");
  // The new file is in place and whole from here on. Flushing the folder
  // makes the rename itself durable; where a file system refuses that, the
  // save has still happened and is reported as done.
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace sl::inifile::detail
