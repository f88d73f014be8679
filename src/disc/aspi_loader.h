// Loading an ASPI layer: a shared library chosen at run time that exports
// GetASPI32SupportInfo and SendASPI32Command (request blocks in
// sonolabel_aspi.h).
#pragma once

#include <cstdint>
#include <string>

namespace sl::disc {

class AspiLibrary {
 public:
  AspiLibrary() = default;
  ~AspiLibrary();
  AspiLibrary(const AspiLibrary&) = delete;
  AspiLibrary& operator=(const AspiLibrary&) = delete;

  // Opens the library at `path` (unloading any earlier one) and looks up both
  // entry points. False when the file cannot be loaded; a library that loads
  // but lacks an entry point stays loaded with that pointer null, so the
  // caller can tell the two failures apart.
  bool Load(const std::string& path);
  void Unload();
  bool Loaded() const { return handle_ != nullptr; }
  // Why the last Load failed (the loader's own text), or "".
  const std::string& Error() const { return error_; }
  // The path given to the last successful Load.
  const std::string& Path() const { return path_; }

  // Whether a library loaded from `path` is still mapped in the process
  // (another handle holds it, or it cannot be unloaded).
  static bool IsResident(const std::string& path);

  std::uint32_t (*supportInfo)() = nullptr;
  std::uint32_t (*sendCommand)(void*) = nullptr;
  // Optional entry point: device nodes the layer could not open.
  std::uint32_t (*deviceProblems)(char*, std::uint32_t) = nullptr;

 private:
  void* handle_ = nullptr;
  std::string error_;
  std::string path_;
};

// The layer the program loads: `choice` (the configured SONOLABEL_ASPI)
// names a library path, or the word "sg" or "sim" for libwnaspi32-sg.so /
// libwnaspi32-sim.so in `exeDir` or, when it is not there, in the installed
// layer folder (see install_paths.h); empty means "sg".
std::string ResolveAspiLayer(const std::string& exeDir, const std::string& choice);

}  // namespace sl::disc
