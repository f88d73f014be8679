// Helpers the lookup's source files share; not part of what the room offers.
#pragma once

#include <algorithm>
#include <cctype>
#include <string_view>

namespace sl::cddb::detail {

// An entry can't hold more track titles than this; the loop over TTITLEn
// stops here whatever the reply says.
inline constexpr int kMaxTrackTitles = 1000;

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace sl::cddb::detail
