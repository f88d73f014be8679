// A small JSON reader and writer for the program's own files: the field files
// the command line reads and the state file of the reference player. Text is
// UTF-8. Reading is bounded: the input size, the nesting depth and the number
// of values are limited, and anything malformed is an error with the byte
// offset where it was found, never undefined behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sl::platform::json {

class Value;
using Array = std::vector<Value>;
// Members in file order; a name given twice keeps both (Find takes the first).
using Object = std::vector<std::pair<std::string, Value>>;

class Value {
 public:
  enum class Type { Null, Bool, Number, String, Array, Object };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : type_(Type::Bool), bool_(b) {}
  Value(int n) : type_(Type::Number), number_(n) {}
  Value(std::int64_t n) : type_(Type::Number), number_(static_cast<double>(n)) {}
  Value(double n) : type_(Type::Number), number_(n) {}
  Value(const char* s) : type_(Type::String), string_(s) {}
  Value(std::string s) : type_(Type::String), string_(std::move(s)) {}
  Value(Array a) : type_(Type::Array), array_(std::make_shared<Array>(std::move(a))) {}
  Value(Object o) : type_(Type::Object), object_(std::make_shared<Object>(std::move(o))) {}

  Type type() const { return type_; }
  bool IsNull() const { return type_ == Type::Null; }
  bool IsBool() const { return type_ == Type::Bool; }
  bool IsNumber() const { return type_ == Type::Number; }
  bool IsString() const { return type_ == Type::String; }
  bool IsArray() const { return type_ == Type::Array; }
  bool IsObject() const { return type_ == Type::Object; }

  bool AsBool() const { return bool_; }
  double AsNumber() const { return number_; }
  const std::string& AsString() const { return string_; }
  const Array& AsArray() const;
  Array& AsArray();
  const Object& AsObject() const;
  Object& AsObject();

  // The member `name` of an object (first of duplicates); null otherwise.
  const Value* Find(std::string_view name) const;
  // Sets member `name` (replacing the first of that name or appending).
  void Set(std::string_view name, Value v);

  // Typed reads of a member with a fallback for a missing member or one of
  // another type. Numbers outside int32 or with a fraction read as `def`.
  std::string GetString(std::string_view name, std::string_view def = {}) const;
  std::int32_t GetInt(std::string_view name, std::int32_t def = 0) const;
  bool GetBool(std::string_view name, bool def = false) const;

 private:
  Type type_ = Type::Null;
  bool bool_ = false;
  double number_ = 0;
  std::string string_;
  // Shared so that copying a large document is cheap; writers copy on change
  // through AsArray()/AsObject() of their own copy only when they need to.
  std::shared_ptr<Array> array_;
  std::shared_ptr<Object> object_;
};

struct Limits {
  std::size_t maxBytes = std::size_t{16} << 20;
  int maxDepth = 64;
  std::size_t maxValues = 1u << 20;
};

struct ParseResult {
  std::optional<Value> value;
  std::string error;       // empty on success
  std::size_t offset = 0;  // byte offset of the error
};

// Parses exactly one JSON value (surrounding white space allowed). A UTF-8
// byte-order mark at the start is skipped. Strings must be valid UTF-8;
// "\u" escapes of unpaired surrogates are refused.
ParseResult Parse(std::string_view text, const Limits& limits = {});

// Compact JSON text; non-ASCII text is written as UTF-8, control characters
// escaped. Integral numbers are written without a fraction.
std::string Write(const Value& v);
// JSON string literal for UTF-8 text.
std::string Quote(std::string_view utf8);

}  // namespace sl::platform::json
