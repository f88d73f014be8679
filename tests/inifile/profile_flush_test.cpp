// A save is on disk when it returns: the file's data is flushed before the
// rename. This program replaces fsync (the executable's own definition is
// the one the profile module calls) so a test can make flushing a file fail,
// as on a full or failing disk: the save must then fail and leave the file
// as it was, never report success for data that may not be there.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "inifile/profile.h"
#include "support/recorder.h"

namespace {
std::atomic<bool> gFailFileFlush{false};
std::atomic<int> gFileFlushes{0};
}  // namespace

extern "C" int fsync(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    ++gFileFlushes;
    if (gFailFileFlush) {
      errno = EIO;
      return -1;
    }
  }
  using Fn = int (*)(int);
  static const Fn real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "fsync"));
  return real ? real(fd) : 0;
}

namespace sl::inifile {
namespace {

TEST(ProfileFlush, SaveFailsWhenItsDataCannotBeFlushed) {
  test::TempDir dir;
  const std::string path = dir.File("cdplayer.ini");
  const std::string before = "[23026203]\r\nartist=old\r\n[OTHER]\r\nk=v\r\n";
  test::WriteFileBytes(path, before);
  Profile p(path);

  gFileFlushes = 0;
  ASSERT_TRUE(p.WriteString("23026203", "artist", "new"));
  EXPECT_GE(gFileFlushes.load(), 1);  // the new file was flushed before it took the name

  test::WriteFileBytes(path, before);
  gFailFileFlush = true;
  const bool saved = p.WriteString("23026203", "artist", "lost");
  gFailFileFlush = false;
  EXPECT_FALSE(saved);
  EXPECT_FALSE(p.LastError().empty());
  EXPECT_EQ(test::ReadFileBytes(path), before);
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(name, "cdplayer.ini");  // no temporary left
  }
}

}  // namespace
}  // namespace sl::inifile
