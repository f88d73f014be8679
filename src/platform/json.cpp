#include "platform/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "text/utf8.h"

namespace sl::platform::json {

namespace {
const Array kEmptyArray;
const Object kEmptyObject;
}  // namespace

const Array& Value::AsArray() const { return array_ ? *array_ : kEmptyArray; }
const Object& Value::AsObject() const { return object_ ? *object_ : kEmptyObject; }

Array& Value::AsArray() {
  if (type_ != Type::Array) *this = Value(Array{});
  // Copy on write: another Value may share this array.
  if (array_.use_count() > 1) array_ = std::make_shared<Array>(*array_);
  return *array_;
}

Object& Value::AsObject() {
  if (type_ != Type::Object) *this = Value(Object{});
  if (object_.use_count() > 1) object_ = std::make_shared<Object>(*object_);
  return *object_;
}

const Value* Value::Find(std::string_view name) const {
  if (type_ != Type::Object) return nullptr;
  for (const auto& [k, v] : *object_) {
    if (k == name) return &v;
  }
  return nullptr;
}

void Value::Set(std::string_view name, Value v) {
  auto& members = AsObject();
  for (auto& [k, old] : members) {
    if (k == name) {
      old = std::move(v);
      return;
    }
  }
  members.emplace_back(std::string(name), std::move(v));
}

std::string Value::GetString(std::string_view name, std::string_view def) const {
  const Value* v = Find(name);
  return v && v->IsString() ? v->AsString() : std::string(def);
}

std::int32_t Value::GetInt(std::string_view name, std::int32_t def) const {
  const Value* v = Find(name);
  if (!v || !v->IsNumber()) return def;
  const double d = v->AsNumber();
  if (d != std::floor(d) || d < -2147483648.0 || d > 2147483647.0) return def;
  return static_cast<std::int32_t>(d);
}

bool Value::GetBool(std::string_view name, bool def) const {
  const Value* v = Find(name);
  return v && v->IsBool() ? v->AsBool() : def;
}

namespace {

class Parser {
 public:
  Parser(std::string_view text, const Limits& limits) : s_(text), limits_(limits) {}

  ParseResult Run() {
    ParseResult r;
    if (s_.size() > limits_.maxBytes) {
      r.error = "file too large";
      return r;
    }
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    Value v;
    if (ParseValue(v, 0)) {
      SkipSpace();
      if (pos_ != s_.size()) Fail("text after the value");
    }
    if (!error_.empty()) {
      r.error = error_;
      r.offset = errorAt_;
      return r;
    }
    r.value = std::move(v);
    return r;
  }

 private:
  bool Fail(const char* what) {
    if (error_.empty()) {
      error_ = what;
      errorAt_ = pos_;
    }
    return false;
  }

  void SkipSpace() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }

  bool Literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return Fail("unknown literal");
    pos_ += word.size();
    return true;
  }

  bool ParseValue(Value& out, int depth) {
    if (depth > limits_.maxDepth) return Fail("nesting too deep");
    if (++values_ > limits_.maxValues) return Fail("too many values");
    SkipSpace();
    if (pos_ >= s_.size()) return Fail("value expected");
    const char c = s_[pos_];
    switch (c) {
      case 'n': out = Value(); return Literal("null");
      case 't': out = Value(true); return Literal("true");
      case 'f': out = Value(false); return Literal("false");
      case '"': {
        std::string str;
        if (!ParseString(str)) return false;
        out = Value(std::move(str));
        return true;
      }
      case '[': return ParseArray(out, depth);
      case '{': return ParseObject(out, depth);
      default:
        if (c == '-' || (c >= '0' && c <= '9')) return ParseNumber(out);
        return Fail("value expected");
    }
  }

  bool ParseArray(Value& out, int depth) {
    ++pos_;
    Array items;
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      out = Value(std::move(items));
      return true;
    }
    for (;;) {
      Value item;
      if (!ParseValue(item, depth + 1)) return false;
      items.push_back(std::move(item));
      SkipSpace();
      if (pos_ >= s_.size()) return Fail("unterminated array");
      if (s_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (s_[pos_] == ']') {
        ++pos_;
        out = Value(std::move(items));
        return true;
      }
      return Fail("',' or ']' expected");
    }
  }

  bool ParseObject(Value& out, int depth) {
    ++pos_;
    Object members;
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      out = Value(std::move(members));
      return true;
    }
    for (;;) {
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("member name expected");
      std::string name;
      if (!ParseString(name)) return false;
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != ':') return Fail("':' expected");
      ++pos_;
      Value v;
      if (!ParseValue(v, depth + 1)) return false;
      members.emplace_back(std::move(name), std::move(v));
      SkipSpace();
      if (pos_ >= s_.size()) return Fail("unterminated object");
      if (s_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (s_[pos_] == '}') {
        ++pos_;
        out = Value(std::move(members));
        return true;
      }
      return Fail("',' or '}' expected");
    }
  }

  bool Hex4(unsigned& v) {
    if (s_.size() - pos_ < 4) return Fail("bad \\u escape");
    v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_ + static_cast<std::size_t>(i)];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else return Fail("bad \\u escape");
    }
    pos_ += 4;
    return true;
  }

  static void PutUtf8(std::string& out, char32_t cp) {
    std::u16string u;
    if (cp >= 0x10000) {
      u.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      u.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      u.push_back(static_cast<char16_t>(cp));
    }
    out += text::Utf16ToUtf8(u);
  }

  bool ParseString(std::string& out) {
    ++pos_;  // opening quote
    const std::size_t start = pos_;
    for (;;) {
      if (pos_ >= s_.size()) return Fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        break;
      }
      if (c < 0x20) return Fail("control character in string");
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        ++pos_;
        continue;
      }
      ++pos_;
      if (pos_ >= s_.size()) return Fail("unterminated string");
      const char e = s_[pos_++];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          unsigned hi = 0;
          if (!Hex4(hi)) return false;
          if (hi >= 0xDC00 && hi <= 0xDFFF) return Fail("unpaired surrogate");
          if (hi >= 0xD800 && hi <= 0xDBFF) {
            unsigned lo = 0;
            if (s_.substr(pos_, 2) != "\\u") return Fail("unpaired surrogate");
            pos_ += 2;
            if (!Hex4(lo)) return false;
            if (lo < 0xDC00 || lo > 0xDFFF) return Fail("unpaired surrogate");
            PutUtf8(out, 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00));
          } else {
            PutUtf8(out, hi);
          }
          break;
        }
        default: return Fail("bad escape");
      }
    }
    if (!text::IsValidUtf8(out)) {
      pos_ = start;
      return Fail("string is not valid UTF-8");
    }
    return true;
  }

  bool ParseNumber(Value& out) {
    const std::size_t start = pos_;
    if (s_[pos_] == '-') ++pos_;
    auto digits = [&] {
      const std::size_t from = pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      return pos_ - from;
    };
    if (pos_ < s_.size() && s_[pos_] == '0') {
      ++pos_;
    } else if (digits() == 0) {
      return Fail("bad number");
    }
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      if (digits() == 0) return Fail("bad number");
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (digits() == 0) return Fail("bad number");
    }
    if (pos_ - start > 64) return Fail("number too long");
    const std::string text(s_.substr(start, pos_ - start));
    const double d = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(d)) return Fail("number out of range");
    out = Value(d);
    return true;
  }

  std::string_view s_;
  const Limits& limits_;
  std::size_t pos_ = 0;
  std::size_t values_ = 0;
  std::string error_;
  std::size_t errorAt_ = 0;
};

void WriteTo(std::string& out, const Value& v) {
  switch (v.type()) {
    case Value::Type::Null: out += "null"; break;
    case Value::Type::Bool: out += v.AsBool() ? "true" : "false"; break;
    case Value::Type::Number: {
      const double d = v.AsNumber();
      char buf[40];
      if (d == std::floor(d) && std::fabs(d) < 9.0e15) {
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(d));
      } else {
        std::snprintf(buf, sizeof buf, "%.17g", d);
      }
      out += buf;
      break;
    }
    case Value::Type::String: out += Quote(v.AsString()); break;
    case Value::Type::Array: {
      out += '[';
      bool first = true;
      for (const auto& item : v.AsArray()) {
        if (!first) out += ',';
        first = false;
        WriteTo(out, item);
      }
      out += ']';
      break;
    }
    case Value::Type::Object: {
      out += '{';
      bool first = true;
      for (const auto& [k, item] : v.AsObject()) {
        if (!first) out += ',';
        first = false;
        out += Quote(k);
        out += ':';
        WriteTo(out, item);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

ParseResult Parse(std::string_view text, const Limits& limits) { return Parser(text, limits).Run(); }

std::string Quote(std::string_view utf8) {
  const std::string s = text::SanitizeUtf8(utf8);
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string Write(const Value& v) {
  std::string out;
  WriteTo(out, v);
  return out;
}

}  // namespace sl::platform::json
