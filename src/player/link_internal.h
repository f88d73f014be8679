// Inside the player room only: what the link's source files share.
#pragma once

#include <string_view>
#include <utility>

namespace sl::player::detail {

// Equal but for the case of ASCII letters, as the player compares names.
inline bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto f = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (f(a[i]) != f(b[i])) return false;
  }
  return true;
}

// Calls an event handler when one is set.
template <typename F, typename... A>
void Raise(const F& handler, A&&... args) {
  if (!handler) return;
  // A copy: the handler may replace itself.
  F copy = handler;
  copy(std::forward<A>(args)...);
}

}  // namespace sl::player::detail
