// Shared libraries opened at their first use instead of linked (libcurl,
// libdiscid): a run that never needs one does not pay for mapping and
// binding it at start.
#pragma once

#include <initializer_list>
#include <string>

namespace sl::platform {

// One library, bound lazily and kept to itself (as a program linked against
// it would bind it). It stays loaded for the rest of the run.
class LoadedLibrary {
 public:
  // Opens the first of `names` that loads; `what` names it in errors.
  LoadedLibrary(const char* what, std::initializer_list<const char*> names);

  // Looks `name` up as a function of type F; null when the library lacks
  // it. Every function is looked up when the library is opened, so a
  // missing one shows there and not at its first call.
  template <typename F>
  void Resolve(const char* name, F& out) {
    out = reinterpret_cast<F>(Symbol(name));
  }

  // Why the library cannot be used: the first failure (it did not load, or
  // a function was missing); "" when it can.
  const std::string& Error() const { return error_; }

 private:
  void* Symbol(const char* name);

  std::string what_;
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace sl::platform
