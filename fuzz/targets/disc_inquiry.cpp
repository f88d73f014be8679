// Standard INQUIRY replies: the drive's name shown in the drive box.
#include <algorithm>
#include <cstdint>
#include <span>

#include "disc/disc.h"
#include "support.h"

using namespace sl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name = disc::InquiryName(std::span<const std::uint8_t>(data, size));
  FUZZ_CHECK(fuzz::ValidUtf8(name));
  if (name == "名称なし") return 0;
  // Printable ASCII taken from byte 8 on, never past the reply or past the
  // length the drive gave.
  FUZZ_CHECK(!name.empty() && size > 8);
  const std::size_t last = std::min<std::size_t>(std::size_t{data[4]} + 5, size - 1);
  FUZZ_CHECK(last >= 8 && name.size() <= last - 7);
  for (std::size_t i = 0; i < name.size(); ++i) {
    FUZZ_CHECK(name[i] >= 0x20 && name[i] <= 0x7E);
    FUZZ_CHECK(static_cast<std::uint8_t>(name[i]) == data[8 + i]);
  }
  return 0;
}
