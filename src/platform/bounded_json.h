// JSON for the program's own files — the field files the command line reads,
// the reference player's state file — on top of nlohmann-json. Documents keep
// their members in file order (ordered_json), so what is read and written
// back keeps its layout.
//
// Reading is bounded: the input size, the nesting depth and the number of
// values are limited, a member name given twice in one object is refused
// (which of the two a user meant cannot be guessed), and anything malformed
// is an error with the byte offset where it was found. No exception leaves
// these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace sl::platform {

using Json = nlohmann::ordered_json;

struct JsonLimits {
  std::size_t maxBytes = std::size_t{16} << 20;
  int maxDepth = 64;  // nested objects and arrays
  std::size_t maxValues = 1u << 20;
};

struct JsonReadResult {
  std::optional<Json> value;
  std::string error;       // empty on success
  std::size_t offset = 0;  // byte offset of the error
};

// Reads exactly one JSON value (surrounding white space allowed). A UTF-8
// byte-order mark at the start is skipped. Strings must be valid UTF-8;
// "\u" escapes of unpaired surrogates are refused, and so are numbers
// beyond the range of a double.
JsonReadResult ReadJson(std::string_view text, const JsonLimits& limits = {});

// Compact JSON text: members in their order, non-ASCII text as UTF-8,
// control characters escaped, each ill-formed UTF-8 byte written as U+FFFD.
std::string WriteJson(const Json& value);

// Lenient reads for files whose every key is optional: the member `name` of
// an object, or nullptr when `object` is no object or lacks it.
const Json* JsonMember(const Json& object, std::string_view name);
// The member's text, or `def` when it is missing or no string.
std::string JsonText(const Json& object, std::string_view name, std::string_view def = {});
// The member as a 32-bit integer, or `def` when it is missing, no number,
// has a fraction or lies outside int32.
std::int32_t JsonInt(const Json& object, std::string_view name, std::int32_t def = 0);
// The same for a value itself (an array's item).
std::int32_t JsonIntValue(const Json& value, std::int32_t def = 0);
// The member's truth value, or `def` when it is missing or no boolean.
bool JsonBool(const Json& object, std::string_view name, bool def = false);

}  // namespace sl::platform
