#include "disc/aspi_loader.h"

#include <dlfcn.h>

#include "platform/install_paths.h"

namespace sl::disc {

AspiLibrary::~AspiLibrary() { Unload(); }

bool AspiLibrary::Load(const std::string& path) {
  Unload();
  error_.clear();
  if (path.empty()) {
    error_ = "no library path";
    return false;
  }
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    error_ = why ? why : "cannot load " + path;
    return false;
  }
  path_ = path;
  supportInfo = reinterpret_cast<std::uint32_t (*)()>(dlsym(handle_, "GetASPI32SupportInfo"));
  sendCommand = reinterpret_cast<std::uint32_t (*)(void*)>(dlsym(handle_, "SendASPI32Command"));
  deviceProblems =
      reinterpret_cast<std::uint32_t (*)(char*, std::uint32_t)>(dlsym(handle_, "SlAspiDeviceProblems"));
  return true;
}

void AspiLibrary::Unload() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
  supportInfo = nullptr;
  sendCommand = nullptr;
  deviceProblems = nullptr;
}

bool AspiLibrary::IsResident(const std::string& path) {
  if (path.empty()) return false;
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) return false;
  dlclose(h);
  return true;
}

std::string ResolveAspiLayer(const std::string& exeDir, const std::string& choice) {
  std::string dir = exeDir.empty() ? "." : exeDir;
  const char* layer = nullptr;
  if (choice.empty() || choice == "sg") layer = "libwnaspi32-sg.so";
  if (choice == "sim") layer = "libwnaspi32-sim.so";
  if (layer) {
    // Beside the program (a build tree), else where an installation keeps
    // it; when neither has it, the load fails on the path beside it.
    const std::string found = platform::FindProgramFile(dir, platform::ProgramDir::Lib, layer);
    return found.empty() ? dir + "/" + layer : found;
  }
  // A bare file name means a file in the current folder, not a search of
  // the system's library folders.
  if (choice.find('/') == std::string::npos) return "./" + choice;
  return choice;
}

}  // namespace sl::disc
