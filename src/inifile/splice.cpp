// The splice of a write: the request checked and encoded as the file stores
// it, and the text of each section it changes, as the lines that replace
// the section's lines (or a new section at the end).
#include <algorithm>
#include <unordered_set>

#include "inifile/internal.h"

namespace sl::inifile::detail {

using text::IsAscii;

std::string ApplySplice(std::string_view s, const Splice& sp) {
  std::string out;
  out.reserve(s.size() - (sp.end - sp.begin) + sp.text.size());
  out.append(s.substr(0, sp.begin));
  out.append(sp.text);
  out.append(s.substr(sp.end));
  return out;
}

namespace {

// What writing one section's keys changes in the text s (whole file, body
// after the byte-order mark); nullopt when nothing changes. Only the
// section's own lines are looked at, so a large file costs little more than
// finding the section.
std::optional<Splice> SectionSplice(std::string_view s, std::size_t body, const EncodedSection& sec,
                                    const text::ByteClasses& bc) {
  if (sec.keys.empty() && sec.deletes.empty()) return std::nullopt;
  const auto span = FindSection(s, body, sec.name, bc);
  const bool lastLineOpen = s.size() > body && s.back() != '\n' && s.back() != '\r';
  const std::string_view lines =
      span ? s.substr(span->bodyStart, span->end - span->bodyStart) : std::string_view();
  return SectionSpliceAt(lines, span, s.size(), lastLineOpen, sec, bc);
}

}  // namespace

std::optional<Splice> SectionSpliceAt(std::string_view sectionLines, const std::optional<Span>& span,
                                      std::size_t fileSize, bool lastLineOpen, const EncodedSection& sec,
                                      const text::ByteClasses& bc) {
  if (sec.keys.empty() && sec.deletes.empty()) return std::nullopt;
  if (!span && sec.keys.empty()) return std::nullopt;  // nothing to remove
  const std::string_view s = sectionLines;

  struct Line {
    std::string text;
    std::string key;  // entries only
    bool entry = false;
    bool comment = false;
  };
  std::vector<Line> lines;
  if (span) {
    std::size_t pos = 0;
    while (pos < s.size()) {
      const std::size_t e = LineEnd(s, pos);
      Line l;
      l.text.assign(s.substr(pos, e - pos));
      const ParsedLine p = ParseLine(l.text, bc);
      if (p.kind == LineKind::Entry) {
        l.entry = true;
        l.key.assign(p.key);
        l.comment = !p.key.empty() && p.key.front() == ';';
      }
      lines.push_back(std::move(l));
      pos = NextLine(s, e);
    }
  }
  // New keys go after the last entry of the section, before any blank or
  // comment lines that separate it from the next one.
  std::size_t insertAt = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].entry && !lines[i].comment) insertAt = i + 1;
  }
  for (const auto& kv : sec.keys) {
    // Named, not bound: older compilers cannot capture a structured binding.
    const std::string& key = kv.first;
    const std::string& value = kv.second;
    auto it = std::find_if(lines.begin(), lines.end(),
                           [&](const Line& l) { return l.entry && NamesEqual(l.key, key, bc); });
    if (it != lines.end()) {
      it->text = it->key + "=" + value;  // the stored spelling of the key stays
    } else {
      Line l;
      l.text = key + "=" + value;
      l.key = key;
      l.entry = true;
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(l));
      ++insertAt;
    }
  }

  for (const auto& key : sec.deletes) {
    auto it = std::find_if(lines.begin(), lines.end(), [&](const Line& l) {
      return l.entry && !l.comment && NamesEqual(l.key, key, bc);
    });
    if (it != lines.end()) lines.erase(it);
  }

  Splice sp;
  for (const Line& l : lines) {
    sp.text += l.text;
    sp.text += "\r\n";
  }
  if (span) {
    sp.begin = span->bodyStart;
    sp.end = span->end;
    if (s == sp.text) return std::nullopt;
    // A header that is the file's last line may lack its line end.
    if (sp.begin == fileSize && lastLineOpen) sp.text.insert(0, "\r\n");
  } else {
    sp.begin = sp.end = fileSize;
    sp.text.insert(0, "[" + sec.name + "]\r\n");
    if (lastLineOpen) sp.text.insert(0, "\r\n");
  }
  return sp;
}

// Splices every section of `encoded` into the file read as `img`. `text`
// (at first the file's bytes) ends as the text the last splice applies to,
// kept in `owned` when it is no longer the file's; the last splice is
// returned, nullopt when nothing changes.
std::optional<Splice> SpliceSections(const Image& img, const ParsedView& view,
                                     const std::vector<EncodedSection>& encoded, const text::ByteClasses& bc,
                                     std::string_view& text, std::string& owned) {
  // The usual case, one section, ends as three pieces written straight from
  // the file as read: text before the section, the section's new lines, text
  // after it. Further sections work on the text with the earlier changes.
  //
  // Sections new to the file (a merged server list adds hundreds) are
  // gathered in `tail` and go after everything in one piece, so the cost
  // stays linear in the file and the number of sections: each of them would
  // otherwise mean a search through, and a copy of, the whole text.
  std::optional<Splice> pending;
  std::string tail;
  std::unordered_set<std::string> inTail;  // folded names of the sections in `tail`
  std::unordered_set<std::string> added;   // ... and of every section this change added
  const bool many = encoded.size() > 1;
  for (const auto& e : encoded) {
    // Only several sections need the bookkeeping by name.
    const std::string folded = many ? FoldedName(e.name, bc) : std::string();
    const bool isNew = many && !e.name.empty() && !view.HasEncoded(e.name);
    if (isNew && !e.keys.empty() && added.insert(folded).second) {
      // The section as it would be added to an empty file, header and all.
      inTail.insert(folded);
      tail += SectionSplice({}, 0, e, bc)->text;
      continue;
    }
    if (pending) {
      owned = ApplySplice(text, *pending);
      text = owned;
      pending.reset();
    }
    if (inTail.count(folded) != 0) {
      // A second change to a section gathered in `tail`: the text takes the
      // tail first, so that the change finds the section.
      if (text.data() != owned.data()) owned.assign(text);
      if (owned.size() > img.Body() && owned.back() != '\n' && owned.back() != '\r') owned += "\r\n";
      owned += tail;
      text = owned;
      tail.clear();
      inTail.clear();
    }
    if (isNew) added.insert(folded);
    pending = SectionSplice(text, img.Body(), e, bc);
    if (!pending && text.data() != img.Bytes().data()) pending = Splice{0, 0, {}};
  }
  if (!tail.empty()) {
    if (pending) {
      owned = ApplySplice(text, *pending);
      text = owned;
    }
    const bool open = text.size() > img.Body() && text.back() != '\n' && text.back() != '\r';
    pending = Splice{text.size(), text.size(), (open ? "\r\n" : "") + tail};
  }
  return pending;
}

// The first problem with a section or key name of `sections`, if any.
std::optional<std::string> NamesProblem(const std::vector<Profile::SectionKeys>& sections) {
  for (const auto& sec : sections) {
    if (auto p = SectionNameProblem(Trim(sec.section))) return p;
    for (const auto& kv : sec.keys) {
      if (auto p = KeyNameProblem(Trim(kv.first))) return p;
    }
    for (const auto& key : sec.deleteKeys) {
      if (auto p = KeyNameProblem(Trim(key))) return p;
    }
  }
  return std::nullopt;
}

// Encodes the names and values of `sections` as the file stores them into
// `encoded`; the reason when a value is too long or cannot be encoded.
std::optional<std::string> EncodeSections(const Codec& codec,
                                          const std::vector<Profile::SectionKeys>& sections,
                                          std::vector<EncodedSection>& encoded) {
  try {
    for (const auto& sec : sections) {
      EncodedSection e;
      e.name = codec.Encode(Trim(sec.section));
      for (const auto& [key, value] : sec.keys) {
        std::string storedValue = codec.Encode(StoredValue(value));
        if (storedValue.size() > Profile::kMaxValueBytes) {
          return "キー「" + key + "」の値が " + std::to_string(Profile::kMaxValueBytes) +
                 " バイトを超えています";
        }
        e.keys.emplace_back(codec.Encode(Trim(key)), std::move(storedValue));
      }
      for (const auto& key : sec.deleteKeys) e.deletes.push_back(codec.Encode(Trim(key)));
      encoded.push_back(std::move(e));
    }
  } catch (const text::CodePageError& ex) {
    return std::string(ex.what());
  }
  return std::nullopt;
}

// Whether every name and value of `encoded` is plain ASCII.
bool AllAscii(const std::vector<EncodedSection>& encoded) {
  bool ascii = true;
  for (const auto& e : encoded) {
    ascii = ascii && IsAscii(e.name);
    for (const auto& [key, value] : e.keys) ascii = ascii && IsAscii(key) && IsAscii(value);
    for (const auto& key : e.deletes) ascii = ascii && IsAscii(key);
  }
  return ascii;
}

}  // namespace sl::inifile::detail
