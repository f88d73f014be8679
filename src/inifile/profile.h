// Windows-style private profile (INI) files: the settings file and the local
// title database "cdplayer.ini". Files that Windows programs wrote read the
// same here as with Windows' own profile functions; writes keep everything
// they do not change.
//
// Reading rules (those of Windows' profile functions):
// - a line ends at LF, CR LF or a lone CR; the last line needs no line end;
// - a section header is "[name]" (leading blanks allowed, text after the
//   last "]" ignored, blanks around the name dropped); a "[" line without "]"
//   is an ordinary line of the section above; "[]" is a section no name
//   reaches; lines before the first header form the section "";
// - an entry is "key=value", split at the first "="; blanks and tabs around
//   key and value are dropped; a line without "=" is a key without a value,
//   which reads as missing;
// - section and key names match without regard to ASCII case; with a
//   duplicated section only the first copy is seen, with a duplicated key
//   only the first line;
// - one pair of matching outer quotes ("..." or '...') around a value is
//   removed; lines starting with ";" are comments for ReadSection, but a
//   ReadString of a key starting with ";" still finds them.
// - the file is in the external code page, or in UTF-8 when it starts with a
//   UTF-8 byte-order mark.
//
// Writing rules:
// - every write takes an exclusive lock (flock on the file itself, or on its
//   folder while there is no file, checked after locking to be still the
//   file the path names, so no lock file is left beside it), reads the file
//   again, writes a temporary file in the same folder with the change,
//   flushes it to disk, renames it over the file and flushes the folder:
//   when the call returns the change is on disk, and at every moment the
//   file is either the old or the new one. A write of one section reads the
//   file through once to find it and has the kernel copy the rest;
// - the first read of a file in a process reads it through for the one
//   section asked for; a second read of the unchanged file parses it whole
//   and keeps that parse for the reads that follow;
// - an existing key is rewritten in place in its stored spelling; a new key
//   goes after the last entry of its section, a new section at the end of the
//   file; every other line (comments, blank lines, other programs' keys and
//   sections, duplicates) is kept byte for byte; line ends become CR LF; a
//   byte-order mark is kept;
// - CR, LF and NUL in a value are written as blanks (a value is one line);
//   a value with blanks or tabs at either end, an "=", a ";" or a pair of
//   outer quotes is written inside one extra pair of double quotes, which
//   every reader removes again, so such values come back exactly;
// - section names with "]", key names with "=" or starting with "[" or ";",
//   empty names and names or values with text the code page cannot encode are
//   refused: the write returns false and LastError() says why;
// - a read-only file (no write permission bits, or not writable by us) or
//   folder makes the write fail and leaves the file as it was.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sl::inifile {

// Integer text as this program reads it: the whole text is an optionally
// signed decimal number, or "0x"/"0X" followed by up to eight hexadecimal
// digits (taken as 32 bits, so 0xFFFFFFFF is -1). Anything else, an empty
// text or a decimal number outside int gives nullopt.
std::optional<int> ParseProfileInteger(std::string_view text);

class Profile {
 public:
  using KeyValues = std::vector<std::pair<std::string, std::string>>;
  struct SectionKeys {
    std::string section;
    KeyValues keys;
    // Keys removed from the section (the first line of each), after `keys`
    // are written.
    std::vector<std::string> deleteKeys = {};
  };

  // Bounds: larger files read as empty and cannot be written; longer names
  // or values are refused on writing.
  static constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;
  static constexpr std::size_t kMaxNameBytes = 1024;
  static constexpr std::size_t kMaxValueBytes = 65535;
  // How long a write waits for another process's lock before it fails.
  static constexpr int kLockWaitMilliseconds = 10000;

  explicit Profile(std::string path);  // the file need not exist

  const std::string& Path() const { return path_; }

  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  // The whole text decimal, or 0x/0X hex; else (also missing or empty) def.
  int ReadInteger(std::string_view section, std::string_view key, int def) const;
  bool HasSection(std::string_view section) const;
  // All entries of one section in file order (first copy of a duplicated
  // section; duplicated keys kept in order, callers take the first), values
  // unquoted like ReadString, keys without a value with an empty value,
  // comment lines left out. nullopt when the section does not exist.
  std::optional<KeyValues> ReadSection(std::string_view section) const;

  bool WriteString(std::string_view section, std::string_view key, std::string_view value);
  bool WriteInteger(std::string_view section, std::string_view key, int value);
  // Several keys of one section in one atomic replacement of the file. Keys
  // are applied in order (a key given twice ends with the later value).
  bool WriteKeys(std::string_view section, const KeyValues& keys);
  // Removes key `key` from `section`; true also when there was none.
  bool DeleteKey(std::string_view section, std::string_view key);
  // Keys of several sections in one atomic replacement of the file.
  bool WriteSections(const std::vector<SectionKeys>& sections);

  // Reads of the file as a transaction sees it.
  class Reader {
   public:
    class Impl;
    explicit Reader(const Impl& impl);
    std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
    // The value, or nullopt when the key (or its section) is missing.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;
    // Whether the file's encoding can hold the text.
    bool Storable(std::string_view value) const;

   private:
    const Impl& impl_;
  };
  // A read-modify-write under the file's lock: `change` reads the file as it
  // is at that moment and says what to write (nothing: `out` left empty); all
  // of it goes in one atomic replacement, so no other writer's change can
  // fall between the reads and the write. A change that returns false
  // writes nothing; its `error` becomes LastError().
  using Change = std::function<bool(const Reader& file, std::vector<SectionKeys>& out, std::string& error)>;
  bool Transact(const Change& change);

  // Why the last write failed ("" after a successful one).
  const std::string& LastError() const { return lastError_; }

 private:
  bool Fail(std::string message);
  std::string path_;
  std::string lastError_;
};

}  // namespace sl::inifile
