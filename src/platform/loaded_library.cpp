#include "platform/loaded_library.h"

#include <dlfcn.h>

namespace sl::platform {

LoadedLibrary::LoadedLibrary(const char* what, std::initializer_list<const char*> names) : what_(what) {
  for (const char* name : names) {
    handle_ = ::dlopen(name, RTLD_LAZY | RTLD_LOCAL);
    if (handle_ != nullptr) return;
  }
  const char* why = ::dlerror();
  error_ = what_ + " could not be loaded: " + (why != nullptr ? why : "no such library");
}

void* LoadedLibrary::Symbol(const char* name) {
  if (handle_ == nullptr) return nullptr;
  void* symbol = ::dlsym(handle_, name);
  if (symbol == nullptr && error_.empty()) error_ = what_ + " lacks " + name;
  return symbol;
}

}  // namespace sl::platform
