#include "platform/bounded_json.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iterator>
#include <unordered_set>
#include <utility>
#include <vector>

#include "text/utf8.h"

namespace sl::platform {

namespace {

// The members of an object as the vector they are kept in. Used to append a
// member whose name is known to be new without the map's linear look-up, and
// to replace names, which the map keeps const.
using MemberList = std::vector<std::pair<const std::string, Json>>;
MemberList& Members(Json& object) { return object.get_ref<Json::object_t&>(); }

// An input iterator that counts the bytes the parser has taken, so that a
// refusal decided between two tokens (depth, count, a name given twice) can
// say where the reader stood.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, std::size_t* taken) : at_(at), taken_(taken) {}
  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    ++*taken_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }
  bool operator!=(const CountingIterator& other) const { return at_ != other.at_; }

 private:
  const char* at_;
  std::size_t* taken_;
};

// What the parser's message means, in the reader's own words. The parser
// names a fault in a token's characters ("...; last read: '...'") or a token
// in the wrong place, with the context it was parsing.
std::string DescribeFault(const std::string& what) {
  struct Meaning {
    const char* says;
    const char* means;
  };
  static constexpr Meaning kMeanings[] = {
      {"; expected end of input", "text after the value"},
      {"number overflow", "number out of range"},
      {"ill-formed UTF-8", "string is not valid UTF-8"},
      {"missing closing quote", "unterminated string"},
      {"4 hex digits", "bad \\u escape"},
      {"surrogate", "unpaired surrogate"},
      {"after backslash", "bad escape"},
      {"control character", "control character in string"},
      {"invalid number", "bad number"},
      {"invalid literal", "unknown literal"},
      {"invalid BOM", "bad byte-order mark"},
      {"while parsing object key", "member name expected"},
      {"while parsing object separator", "':' expected"},
      {"while parsing object ", "',' or '}' expected"},
      {"while parsing array", "',' or ']' expected"},
      {"while parsing value", "value expected"},
  };
  for (const auto& m : kMeanings)
    if (what.find(m.says) != std::string::npos) return m.means;
  return "malformed JSON";
}

// Where the faulty token starts. The parser stands after it (`position`
// bytes read, end of input counted as one); a fault inside a token is at the
// last byte read. The parser's copy of the token is exact for strings and
// numbers only, so the other tokens' lengths are known here.
std::size_t FaultStart(const std::string& what, std::size_t position, const std::string& lastToken) {
  const auto back = [&](std::size_t length) { return position >= length ? position - length : 0; };
  if (what.find("; last read: '") != std::string::npos) return back(1);
  if (what.find("unexpected string literal") != std::string::npos ||
      what.find("unexpected number literal") != std::string::npos ||
      what.find("number overflow") != std::string::npos)
    return back(lastToken.size());
  if (what.find("unexpected false literal") != std::string::npos) return back(5);
  if (what.find("unexpected true literal") != std::string::npos ||
      what.find("unexpected null literal") != std::string::npos)
    return back(4);
  return back(1);  // one character: a bracket, ',', ':' or the end of input
}

// Builds the document from the parser's events, enforcing the limits.
class BoundedBuilder {
 public:
  BoundedBuilder(const JsonLimits& limits, const std::size_t& taken, std::size_t size)
      : limits_(limits), taken_(taken), size_(size) {}

  bool null() { return Put(Json(nullptr)) != nullptr; }
  bool boolean(bool b) { return Put(Json(b)) != nullptr; }
  bool number_integer(Json::number_integer_t n) { return Put(Json(n)) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t n) { return Put(Json(n)) != nullptr; }
  bool number_float(Json::number_float_t d, const Json::string_t&) {
    if (!std::isfinite(d)) return Refuse("number out of range");
    return Put(Json(d)) != nullptr;
  }
  bool string(Json::string_t& s) { return Put(Json(std::move(s))) != nullptr; }
  bool binary(Json::binary_t&) { return Refuse("value expected"); }

  bool start_object(std::size_t) { return Open(Json::object()); }
  bool start_array(std::size_t) { return Open(Json::array()); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }

  bool key(Json::string_t& name) {
    OpenValue& top = open_.back();
    if (!top.names.insert(name).second) return Refuse("member \"" + name + "\" given twice");
    MemberList& members = Members(*top.container);
    members.emplace_back(std::move(name), nullptr);
    memberSlot_ = &members.back().second;
    return true;
  }

  bool parse_error(std::size_t position, const std::string& lastToken, const Json::exception& fault) {
    const std::string what = fault.what();
    error_ = DescribeFault(what);
    offset_ = std::min(FaultStart(what, position, lastToken), size_);
    return false;
  }

  Json& Root() { return root_; }
  const std::string& Error() const { return error_; }
  std::size_t Offset() const { return offset_; }

 private:
  struct OpenValue {
    Json* container;
    std::unordered_set<std::string> names;  // of an object's members
  };

  bool Refuse(std::string what) {
    error_ = std::move(what);
    offset_ = std::min(taken_ > 0 ? taken_ - 1 : 0, size_);
    return false;
  }

  // Places a value where the document stands; nullptr when refused.
  Json* Put(Json v) {
    if (++values_ > limits_.maxValues) {
      Refuse("too many values");
      return nullptr;
    }
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    Json& top = *open_.back().container;
    if (top.is_array()) {
      auto& items = top.get_ref<Json::array_t&>();
      items.push_back(std::move(v));
      return &items.back();
    }
    *memberSlot_ = std::move(v);
    return memberSlot_;
  }

  bool Open(Json container) {
    if (open_.size() >= static_cast<std::size_t>(std::max(limits_.maxDepth, 0)))
      return Refuse("nesting too deep");
    Json* placed = Put(std::move(container));
    if (placed == nullptr) return false;
    open_.push_back({placed, {}});
    return true;
  }

  bool Close() {
    open_.pop_back();
    return true;
  }

  const JsonLimits& limits_;
  const std::size_t& taken_;
  std::size_t size_;
  Json root_;
  std::vector<OpenValue> open_;
  Json* memberSlot_ = nullptr;
  std::size_t values_ = 0;
  std::string error_;
  std::size_t offset_ = 0;
};

// Every string and member name made well-formed UTF-8, without recursion.
void SanitizeStrings(Json& root) {
  std::vector<Json*> pending{&root};
  while (!pending.empty()) {
    Json* j = pending.back();
    pending.pop_back();
    if (j->is_string()) {
      auto& s = j->get_ref<std::string&>();
      if (!text::IsValidUtf8(s)) s = text::SanitizeUtf8(s);
    } else if (j->is_array()) {
      for (auto& item : j->get_ref<Json::array_t&>()) pending.push_back(&item);
    } else if (j->is_object()) {
      MemberList& members = Members(*j);
      bool namesValid = true;
      for (const auto& member : members) namesValid = namesValid && text::IsValidUtf8(member.first);
      if (!namesValid) {
        MemberList fixed;
        fixed.reserve(members.size());
        for (auto& member : members)
          fixed.emplace_back(text::SanitizeUtf8(member.first), std::move(member.second));
        members.swap(fixed);
      }
      for (auto& member : members) pending.push_back(&member.second);
    }
  }
}

}  // namespace

JsonReadResult ReadJson(std::string_view text, const JsonLimits& limits) {
  JsonReadResult result;
  if (text.size() > limits.maxBytes) {
    result.error = "file too large";
    return result;
  }
  std::size_t taken = 0;
  BoundedBuilder builder(limits, taken, text.size());
  bool ok = false;
  try {
    ok = Json::sax_parse(CountingIterator(text.data(), &taken),
                         CountingIterator(text.data() + text.size(), &taken), &builder);
  } catch (const std::exception& e) {
    // Only memory running out is expected here; the parser reports every
    // fault of the text through the builder.
    result.error = e.what();
    result.offset = std::min(taken, text.size());
    return result;
  }
  if (!ok) {
    result.error = builder.Error().empty() ? "malformed JSON" : builder.Error();
    result.offset = builder.Offset();
    return result;
  }
  result.value = std::move(builder.Root());
  return result;
}

std::string WriteJson(const Json& value) {
  try {
    return value.dump();
  } catch (const Json::type_error&) {
    // A string that is not well-formed UTF-8: written with its ill-formed
    // bytes replaced, one U+FFFD each, as the program writes such text
    // everywhere else.
  }
  Json copy = value;
  SanitizeStrings(copy);
  return copy.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const Json* JsonMember(const Json& object, std::string_view name) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(std::string(name));
  return it == object.end() ? nullptr : &*it;
}

std::string JsonText(const Json& object, std::string_view name, std::string_view def) {
  const Json* v = JsonMember(object, name);
  return v != nullptr && v->is_string() ? v->get_ref<const std::string&>() : std::string(def);
}

std::int32_t JsonIntValue(const Json& v, std::int32_t def) {
  constexpr std::int64_t kLow = -2147483648LL;
  constexpr std::int64_t kHigh = 2147483647LL;
  if (v.is_number_unsigned()) {
    const auto n = v.get<std::uint64_t>();
    return n <= static_cast<std::uint64_t>(kHigh) ? static_cast<std::int32_t>(n) : def;
  }
  if (v.is_number_integer()) {
    const auto n = v.get<std::int64_t>();
    return n >= kLow && n <= kHigh ? static_cast<std::int32_t>(n) : def;
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (d != std::floor(d) || d < static_cast<double>(kLow) || d > static_cast<double>(kHigh)) return def;
    return static_cast<std::int32_t>(d);
  }
  return def;
}

std::int32_t JsonInt(const Json& object, std::string_view name, std::int32_t def) {
  const Json* v = JsonMember(object, name);
  return v != nullptr ? JsonIntValue(*v, def) : def;
}

bool JsonBool(const Json& object, std::string_view name, bool def) {
  const Json* v = JsonMember(object, name);
  return v != nullptr && v->is_boolean() ? v->get<bool>() : def;
}

}  // namespace sl::platform
