#include "disc/cdtext.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "text/codepage.h"

namespace sl::disc {

namespace {

constexpr std::uint8_t kTitlePack = 0x80;
constexpr std::uint8_t kPerformerPack = 0x81;
constexpr std::uint8_t kSizeInfoPack = 0x8F;
constexpr int kLastIndex = 99;  // texts: 0 the disc, 1..99 the tracks
constexpr std::size_t kPayload = 12;

// The block's texts of one pack type, still as bytes: every text that
// ended, each followed by a NUL, in the order they ended (a text no index
// refers to any more was overwritten by a later one for the same track).
// One buffer instead of a string per text: the whole of it goes through the
// character converter in one call.
struct RawTexts {
  std::string bytes;
  struct Span {
    std::size_t start = 0;
    std::size_t length = 0;
  };
  std::vector<Span> spans;                   // one per ended text
  std::array<int, kLastIndex + 1> textOf{};  // index into spans; -1 none
  RawTexts() { textOf.fill(-1); }

  std::string_view Text(int n) const {
    const Span& s = spans[static_cast<std::size_t>(n)];
    return std::string_view(bytes).substr(s.start, s.length);
  }
};

class Notes {
 public:
  explicit Notes(std::vector<std::string>& out) : out_(out) {}

  // Counts the notes that found no room, as the last note.
  void Close() {
    if (dropped_ > 0) out_.push_back(std::to_string(dropped_) + " more notes left out");
    dropped_ = 0;
  }

  template <typename... Args>
  void Add(const char* format, Args... args) {
    if (out_.size() + 1 >= kCdTextMaxNotes) {
      ++dropped_;
      return;
    }
    char line[160];
    std::snprintf(line, sizeof line, format, args...);
    out_.emplace_back(line);
  }

 private:
  std::vector<std::string>& out_;
  std::size_t dropped_ = 0;
};

struct Pack {
  const std::uint8_t* bytes = nullptr;
  std::size_t position = 0;  // index in the reply, for notes
  int Type() const { return bytes[0]; }
  int Track() const { return bytes[1] & 0x7F; }
  bool Extension() const { return (bytes[1] & 0x80) != 0; }
  int Sequence() const { return bytes[2]; }
  int Block() const { return (bytes[3] >> 4) & 0x07; }
  bool DoubleByte() const { return (bytes[3] & 0x80) != 0; }
  int CharacterPosition() const { return bytes[3] & 0x0F; }
};

const char* TypeName(int type) { return type == kTitlePack ? "title" : "performer"; }

// Gathers the texts of one pack type from its packs (in sequence order),
// following each text from pack to pack. A pack that is missing (a gap in
// the sequence numbers, or a pack whose header does not continue the text
// in hand) costs the texts it carried a part of: the one running into the
// gap and the one running out of it are dropped, never joined.
class TextStream {
 public:
  // `expectedBytes`: room to reserve for the texts.
  TextStream(int type, bool doubleByte, Notes& notes, std::size_t expectedBytes)
      : type_(type), doubleByte_(doubleByte), notes_(notes) {
    texts_.bytes.reserve(expectedBytes);
    texts_.spans.reserve(kLastIndex + 1);
  }

  void Feed(const Pack& p) {
    const bool follows = havePrevious_ && p.Sequence() == previousSequence_ + 1;
    const bool startsText = p.CharacterPosition() == 0;
    if (!follows || !Continues(p)) {
      // Resynchronise on this pack's header.
      DropPending("a pack before it is missing");
      index_ = p.Track();
      skipping_ = !startsText;
      if (skipping_) {
        notes_.Add("%s of track %d: its beginning is missing, left out", TypeName(type_), index_);
      }
    }
    havePrevious_ = true;
    previousSequence_ = p.Sequence();
    const std::uint8_t* text = p.bytes + 4;
    for (std::size_t i = 0; i < kPayload;) {
      // Runs of text bytes go into the text in hand at once; NULs one by one.
      std::size_t run = i;
      if (!pendingNul_) {
        while (run < kPayload && text[run] != 0) ++run;
      }
      if (run > i) {
        if (!skipping_ && index_ <= kLastIndex)
          texts_.bytes.append(reinterpret_cast<const char*>(text + i), run - i);
        i = run;
        continue;
      }
      Byte(text[i++]);
    }
  }

  // After the last pack: a text still open lost its end.
  void Finish() { DropPending("its end is missing"); }

  const RawTexts& Texts() const { return texts_; }

 private:
  // The text in hand is the tail of texts_.bytes from pendingStart_ on.
  bool NothingInHand() const { return texts_.bytes.size() == pendingStart_; }

  // Whether the pack's header agrees with where the text in hand stands.
  bool Continues(const Pack& p) const {
    if (p.Track() == index_) return true;
    // The text in hand ended exactly at the end of the last pack (or the
    // next texts are absent): a pack that starts a later track's text fits.
    return p.CharacterPosition() == 0 && NothingInHand() && !pendingNul_ && !skipping_ && p.Track() > index_;
  }

  void DropPending(const char* why) {
    // A lone NUL with nothing before it is padding, not a text.
    if (index_ <= kLastIndex && !NothingInHand() && !skipping_) {
      notes_.Add("%s of track %d: %s, left out", TypeName(type_), index_, why);
    }
    texts_.bytes.resize(pendingStart_);
    pendingNul_ = false;
    skipping_ = false;
  }

  void Byte(std::uint8_t b) {
    if (doubleByte_) {
      // Texts end with two NULs; a trail byte of a two-byte character is
      // never NUL, so the first NUL of a pair can only start the end.
      if (pendingNul_) {
        pendingNul_ = false;
        if (b == 0) {
          EndText();
          return;
        }
      }
      if (b == 0) {
        pendingNul_ = true;
        return;
      }
    } else if (b == 0) {
      EndText();
      return;
    }
    if (!skipping_ && index_ <= kLastIndex) texts_.bytes.push_back(static_cast<char>(b));
  }

  void EndText() {
    if (!skipping_ && index_ <= kLastIndex) {
      texts_.textOf[static_cast<std::size_t>(index_)] = static_cast<int>(texts_.spans.size());
      texts_.spans.push_back({pendingStart_, texts_.bytes.size() - pendingStart_});
      texts_.bytes.push_back('\0');
      pendingStart_ = texts_.bytes.size();
    }
    texts_.bytes.resize(pendingStart_);
    skipping_ = false;
    if (index_ <= kLastIndex) ++index_;
  }

  int type_;
  bool doubleByte_;
  Notes& notes_;
  RawTexts texts_;
  std::size_t pendingStart_ = 0;
  int index_ = 0;
  bool skipping_ = false;
  bool pendingNul_ = false;
  bool havePrevious_ = false;
  int previousSequence_ = -1;
};

// A character the window must never show: C0 and C1 controls, DEL, and
// the replacement character left by bytes that did not decode.
bool HasUnshowable(std::string_view utf8) {
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < utf8.size()) {
      const auto n = static_cast<unsigned char>(utf8[i + 1]);
      if (n >= 0x80 && n <= 0x9F) return true;
    }
    if (c == 0xEF && i + 2 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0xBF &&
        static_cast<unsigned char>(utf8[i + 2]) == 0xBD)
      return true;
  }
  return false;
}

bool AllSevenBit(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Every text of `raw` as UTF-8 under the block's character code, one entry
// per ended text; nullopt for a text with a byte that does not belong to
// the code. The buffer goes through the converter in one call (no text
// holds a NUL, and every code maps NUL to NUL and nothing else to it): one
// call per pack type instead of one per track.
std::vector<std::optional<std::string>> DecodeTexts(const RawTexts& raw, int characterCode) {
  std::vector<std::optional<std::string>> out(raw.spans.size());
  std::optional<std::string> converted;
  std::string_view utf8;
  // Seven-bit text reads the same in every code the program knows; in an
  // ASCII block each text is checked for bytes above it below.
  if (characterCode == kCdTextAscii || AllSevenBit(raw.bytes)) {
    utf8 = raw.bytes;
  } else {
    converted = text::FromCodePage(raw.bytes, characterCode == kCdTextLatin1 ? "ISO-8859-1" : "CP932");
    if (!converted) return out;
    utf8 = *converted;
  }
  std::size_t from = 0;
  for (auto& text : out) {
    const std::size_t end = utf8.find('\0', from);
    if (end == std::string_view::npos) break;
    const std::string_view piece = utf8.substr(from, end - from);
    from = end + 1;
    if (characterCode == kCdTextAscii && !AllSevenBit(piece)) continue;
    if (!HasUnshowable(piece)) text.emplace(piece);
  }
  return out;
}

bool IsRepeatMark(std::string_view bytes, bool doubleByte) {
  return bytes == "\t" || (doubleByte && bytes == "\t\t");
}

// The decoded texts of one pack type: repeat marks resolved, undecodable
// texts dropped with a note.
std::vector<std::string> ResolveTexts(const RawTexts& raw, int type, int characterCode, Notes& notes) {
  const bool doubleByte = characterCode == kCdTextMsJis;
  auto decoded = DecodeTexts(raw, characterCode);
  std::vector<std::string> out;
  out.reserve(raw.textOf.size());
  for (std::size_t k = 0; k < raw.textOf.size(); ++k) {
    const int n = raw.textOf[k];
    if (n < 0) continue;
    std::string text;
    if (IsRepeatMark(raw.Text(n), doubleByte)) {
      if (k == 0) {
        notes.Add("%s of the disc: a repeat mark with nothing before it, left out", TypeName(type));
        continue;
      }
      if (k <= out.size()) text = out[k - 1];
    } else if (auto& d = decoded[static_cast<std::size_t>(n)]; d) {
      text = std::move(*d);
    } else {
      notes.Add("%s of track %zu: bytes that character code 0x%02X does not allow, left out", TypeName(type),
                k, characterCode);
      continue;
    }
    if (text.empty()) continue;
    out.resize(k + 1);
    out[k] = std::move(text);
  }
  return out;
}

// The three size-information packs as one 36-byte record; nullopt without
// the first of them (the one with the character code).
std::optional<std::array<std::uint8_t, 36>> SizeInformation(const std::vector<Pack>& packs) {
  std::array<std::uint8_t, 36> record{};
  bool first = false;
  for (const Pack& p : packs) {
    if (p.Type() != kSizeInfoPack || p.Extension() || p.Track() > 2) continue;
    std::copy_n(p.bytes + 4, kPayload, record.begin() + static_cast<std::ptrdiff_t>(kPayload) * p.Track());
    first = first || p.Track() == 0;
  }
  if (!first) return std::nullopt;
  return record;
}

CdTextBlock DecodeBlock(int number, std::vector<Pack>& packs, Notes& notes) {
  CdTextBlock block;
  block.number = number;
  // The sequence number orders the packs; one seen twice keeps its first.
  // Drives send them in order, so the sort and the copy are only paid for
  // a reply that needs them.
  auto bySequence = [](const Pack& a, const Pack& b) { return a.Sequence() < b.Sequence(); };
  auto sameSequence = [](const Pack& a, const Pack& b) { return a.Sequence() == b.Sequence(); };
  if (!std::is_sorted(packs.begin(), packs.end(), bySequence))
    std::stable_sort(packs.begin(), packs.end(), bySequence);
  std::vector<Pack> deduplicated;
  if (std::adjacent_find(packs.begin(), packs.end(), sameSequence) != packs.end()) {
    deduplicated.reserve(packs.size());
    for (const Pack& p : packs) {
      if (!deduplicated.empty() && sameSequence(deduplicated.back(), p)) {
        notes.Add("pack %zu: sequence number %d of block %d seen twice, skipped", p.position, p.Sequence(),
                  number);
        continue;
      }
      deduplicated.push_back(p);
    }
  }
  const std::vector<Pack>& ordered = deduplicated.empty() ? packs : deduplicated;

  const auto size = SizeInformation(ordered);
  bool doubleByteFlag = false;
  for (const Pack& p : ordered)
    if (p.Type() == kTitlePack || p.Type() == kPerformerPack)
      doubleByteFlag = doubleByteFlag || p.DoubleByte();
  if (size) {
    block.characterCode = (*size)[0];
    block.firstTrack = (*size)[1];
    block.lastTrack = (*size)[2];
    block.languageCode = (*size)[28 + static_cast<std::size_t>(number)];
  } else {
    notes.Add("block %d: no size information, character code taken from the packs", number);
  }
  const int code = size ? block.characterCode : (doubleByteFlag ? kCdTextMsJis : kCdTextLatin1);
  if (code != kCdTextLatin1 && code != kCdTextAscii && code != kCdTextMsJis) {
    notes.Add("block %d: character code 0x%02X is not one the program reads, block left out", number, code);
    return block;
  }

  for (const int type : {kTitlePack, kPerformerPack}) {
    TextStream stream(type, code == kCdTextMsJis, notes, ordered.size() * kPayload);
    for (const Pack& p : ordered) {
      if (p.Type() != type) continue;
      if (p.Extension() || p.Track() > kLastIndex) {
        notes.Add("pack %zu: track number 0x%02X, skipped", p.position, p.bytes[1]);
        continue;
      }
      stream.Feed(p);
    }
    stream.Finish();
    auto texts = ResolveTexts(stream.Texts(), type, code, notes);
    (type == kTitlePack ? block.titles : block.performers) = std::move(texts);
  }
  return block;
}

const std::string kNone;

}  // namespace

bool CdTextBlock::HasText() const {
  auto any = [](const std::vector<std::string>& v) {
    return std::any_of(v.begin(), v.end(), [](const std::string& s) { return !s.empty(); });
  };
  return any(titles) || any(performers);
}

const std::string& CdTextBlock::Title(int index) const {
  return index >= 0 && static_cast<std::size_t>(index) < titles.size()
             ? titles[static_cast<std::size_t>(index)]
             : kNone;
}

const std::string& CdTextBlock::Performer(int index) const {
  return index >= 0 && static_cast<std::size_t>(index) < performers.size()
             ? performers[static_cast<std::size_t>(index)]
             : kNone;
}

const CdTextBlock* CdText::Pick(int preferredLanguage) const {
  const CdTextBlock* first = nullptr;
  const CdTextBlock* zero = nullptr;
  for (const auto& b : blocks) {
    if (!b.HasText()) continue;
    if (preferredLanguage >= 0 && b.languageCode == preferredLanguage) return &b;
    if (!first) first = &b;
    if (b.number == 0) zero = &b;
  }
  return zero ? zero : first;
}

namespace {

// CRC-16 with polynomial 0x1021 (x^16 + x^12 + x^5 + 1). After two bytes
// the register holds nothing of its old value but what was XORed with
// them, so two bytes at a time take one lookup per byte of that sum: the
// tables give the register's value after two zero bytes for a sum of high
// byte h (kCrcHigh[h]) and of low byte l (kCrcLow[l]).
constexpr std::uint16_t CrcAfterTwoZeroBytes(unsigned start) {
  unsigned crc = start;
  for (int bit = 0; bit < 16; ++bit)
    crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
  return static_cast<std::uint16_t>(crc);
}
constexpr std::array<std::uint16_t, 256> MakeCrcTable(unsigned shift) {
  std::array<std::uint16_t, 256> table{};
  for (unsigned n = 0; n < 256; ++n) table[n] = CrcAfterTwoZeroBytes(n << shift);
  return table;
}
constexpr auto kCrcHigh = MakeCrcTable(8);
constexpr auto kCrcLow = MakeCrcTable(0);

}  // namespace

std::uint16_t CdTextPackCrc(std::span<const std::uint8_t> first16) {
  unsigned crc = 0;
  const std::size_t n = std::min<std::size_t>(first16.size(), 16);
  std::size_t i = 0;
  for (; i + 1 < n; i += 2) {
    const unsigned x = crc ^ ((unsigned{first16[i]} << 8) | first16[i + 1]);
    crc = kCrcHigh[x >> 8] ^ kCrcLow[x & 0xFF];
  }
  if (i < n) {
    // An odd byte: eight steps of the register alone.
    crc ^= unsigned{first16[i]} << 8;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
  }
  return static_cast<std::uint16_t>(~crc);
}

namespace {

void DecodeInto(std::span<const std::uint8_t> reply, CdText& result, Notes& notes) {
  if (reply.size() < 4) {
    if (!reply.empty()) notes.Add("reply of %zu bytes, shorter than its header", reply.size());
    return;
  }
  const std::size_t declared = (std::size_t{reply[0]} << 8) | reply[1];
  if (declared < 2) return;  // a header alone: no CD-Text
  std::size_t body = declared - 2;
  if (body > reply.size() - 4) {
    notes.Add("header announces %zu bytes of packs, the reply holds %zu", body, reply.size() - 4);
    body = reply.size() - 4;
  }
  if (body % kCdTextPackSize != 0)
    notes.Add("%zu bytes after the last whole pack, ignored", body % kCdTextPackSize);
  std::size_t count = body / kCdTextPackSize;
  if (count > kCdTextMaxPacks) {
    notes.Add("%zu packs, more than %zu; the rest ignored", count, kCdTextMaxPacks);
    count = kCdTextMaxPacks;
  }
  const std::uint8_t* packs = reply.data() + 4;

  // Some drives leave the CRC field empty: when no pack of the reply
  // carries one, the packs are taken unchecked.
  bool crcGiven = false;
  for (std::size_t i = 0; i < count && !crcGiven; ++i)
    crcGiven = packs[i * kCdTextPackSize + 16] != 0 || packs[i * kCdTextPackSize + 17] != 0;
  if (count > 0 && !crcGiven) notes.Add("no pack carries a CRC; packs taken unchecked");

  std::array<std::vector<Pack>, kCdTextMaxBlocks> byBlock;
  // A block's list gets room for as many packs as it may hold when its
  // first pack comes, instead of growing pack by pack.
  const std::size_t room = std::min(count, static_cast<std::size_t>(kCdTextMaxPacksPerBlock));
  for (std::size_t i = 0; i < count; ++i) {
    const Pack p{packs + i * kCdTextPackSize, i};
    if (crcGiven) {
      const std::uint16_t stored = static_cast<std::uint16_t>((p.bytes[16] << 8) | p.bytes[17]);
      if (CdTextPackCrc({p.bytes, 16}) != stored) {
        notes.Add("pack %zu (type 0x%02X, sequence %d): CRC does not match, skipped", i, p.bytes[0],
                  p.Sequence());
        continue;
      }
    }
    if (p.Type() < 0x80 || p.Type() > 0x8F) {
      notes.Add("pack %zu: type 0x%02X is no CD-Text pack, skipped", i, p.bytes[0]);
      continue;
    }
    auto& list = byBlock[static_cast<std::size_t>(p.Block())];
    if (list.empty()) list.reserve(room);
    if (list.size() >= static_cast<std::size_t>(kCdTextMaxPacksPerBlock)) {
      notes.Add("pack %zu: block %d already has %d packs, skipped", i, p.Block(), kCdTextMaxPacksPerBlock);
      continue;
    }
    list.push_back(p);
  }
  for (int b = 0; b < kCdTextMaxBlocks; ++b) {
    auto& list = byBlock[static_cast<std::size_t>(b)];
    if (!list.empty()) result.blocks.push_back(DecodeBlock(b, list, notes));
  }
}

}  // namespace

CdText DecodeCdText(std::span<const std::uint8_t> reply) {
  CdText result;
  Notes notes(result.notes);
  DecodeInto(reply, result, notes);
  notes.Close();
  return result;
}

std::optional<CdTextTitles> TitlesFromCdText(const CdText& text, int trackCount, int preferredLanguage) {
  const CdTextBlock* block = text.Pick(preferredLanguage);
  if (!block || trackCount < 0) return std::nullopt;
  trackCount = std::min(trackCount, kLastIndex);
  CdTextTitles out;
  out.block = block->number;
  out.artist = block->Performer(0);
  out.title = block->Title(0);
  bool any = !out.artist.empty() || !out.title.empty();
  for (int k = 1; k <= trackCount; ++k) {
    out.trackTitles.push_back(block->Title(k));
    out.trackPerformers.push_back(block->Performer(k));
    any = any || !out.trackTitles.back().empty() || !out.trackPerformers.back().empty();
  }
  if (!any) return std::nullopt;
  return out;
}

}  // namespace sl::disc
