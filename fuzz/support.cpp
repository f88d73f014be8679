#include "support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace sl::fuzz {

void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

namespace {
std::string MakeScratch() {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                            ? fs::path("/dev/shm")
                            : fs::temp_directory_path();
  std::string templ = (base / "sonolabel-fuzz-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) Fail("mkdtemp", __FILE__, __LINE__);
  static std::string removeAtExit;
  removeAtExit = templ;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(removeAtExit, ignored);
  });
  return templ;
}
}  // namespace

const std::string& ScratchDir() {
  static const std::string dir = MakeScratch();
  return dir;
}

void ReplaceFile(const std::string& path, std::string_view bytes) {
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) Fail("write scratch file", __FILE__, __LINE__);
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) Fail("rename scratch file", __FILE__, __LINE__);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

}  // namespace sl::fuzz
