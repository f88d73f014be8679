// Inside the inifile room only: how a write replaces the file atomically.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sl::inifile::detail {

// The reason of a failed system call, in the interface's language.
std::string ErrnoText(int err);

// Follows symbolic links, so that the file they point to is replaced rather
// than the link.
std::string ResolveTarget(const std::string& path);

// Marks this thread as inside a write while it lives: a write started from
// the message pump during a lock wait would wait on its own lock.
class WriteScope {
 public:
  WriteScope();
  ~WriteScope();
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;
  static bool Active();
};

// Writers exclude each other with an flock on the file itself, or on its
// folder while there is no file yet, so that no lock file is left beside
// the user's files. A lock belongs to an inode, and every write renames a new
// inode into place: a writer that waited on the old file gets its lock once
// the file is no longer there, while a writer that opens the path afterwards
// locks the new file. So each writer checks, once it holds its lock, that
// what it locked is still what the path names (the same inode, or still no
// file) and starts over when it is not. The file at the path is replaced
// only by a writer holding the lock on it (or on the folder while it is
// missing), so at most one writer at a time gets past the check.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Waits up to the bound for the exclusive lock on the file at target (or
  // on dir while there is none).
  bool Acquire(const std::string& target, const std::string& dir, std::string& error);
  // The locked file, or -1 while the lock is on the folder.
  int FileFd() const { return onFile_ ? fd_ : -1; }

 private:
  void Release();
  int fd_ = -1;
  bool onFile_ = false;
};

// A piece of the new file: bytes in memory, or a range of the old file
// (fd >= 0), which the kernel copies without bringing it through memory.
struct Piece {
  std::string_view bytes;
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Writes the pieces, one after the other, to a temporary file beside
// target, flushes it, renames it over target and flushes the folder.
// `old`: the file replaced (null when there is none).
bool ReplaceFile(const std::string& target, const std::string& dir, const std::string& base,
                 const std::vector<Piece>& pieces, const struct stat* old, std::string& error);

}  // namespace sl::inifile::detail
