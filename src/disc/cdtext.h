// CD-Text: the titles and performers a disc carries in its lead-in, as a
// drive returns them to READ TOC/PMA/ATIP format 5. The decoder is pure (no
// drive, no window): bytes in, checked UTF-8 texts and notes out.
//
// The reply is a 4-byte header (data length, big-endian, counting the bytes
// after it; two reserved bytes) and 18-byte packs: pack type, track number
// (bit 7: extension flag), sequence number, block number (bits 4-6) with
// the double-byte flag (bit 7) and the character position (bits 0-3), 12
// text bytes and a CRC-16 (polynomial 0x1021, stored inverted, big-endian)
// over the first 16 bytes. Texts of one pack type are NUL-separated and run
// on from pack to pack; a text that is only a TAB (two TABs in double-byte
// text) repeats the previous track's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sl::disc {

inline constexpr std::size_t kCdTextPackSize = 18;
inline constexpr int kCdTextMaxBlocks = 8;
// One block's packs are numbered by a one-byte sequence number.
inline constexpr int kCdTextMaxPacksPerBlock = 256;
inline constexpr std::size_t kCdTextMaxPacks =
    static_cast<std::size_t>(kCdTextMaxBlocks) * static_cast<std::size_t>(kCdTextMaxPacksPerBlock);
// The largest sound reply: the header and every pack of eight full blocks.
inline constexpr std::size_t kCdTextMaxReply = 4 + kCdTextMaxPacks * kCdTextPackSize;
// Notes kept about one reply; further ones are counted in a last note.
inline constexpr std::size_t kCdTextMaxNotes = 32;

// Character codes of a block, as its size information names them.
inline constexpr int kCdTextLatin1 = 0x00;
inline constexpr int kCdTextAscii = 0x01;
inline constexpr int kCdTextMsJis = 0x80;
// Language codes the program knows by name.
inline constexpr int kCdTextEnglish = 0x09;
inline constexpr int kCdTextJapanese = 0x69;

// One language block of the disc's CD-Text.
struct CdTextBlock {
  int number = 0;          // 0..7
  int characterCode = -1;  // kCdTextLatin1, kCdTextAscii, kCdTextMsJis, another code; -1: no size information
  int languageCode = -1;   // from the size information; -1: none
  int firstTrack = 0;      // from the size information; 0: none
  int lastTrack = 0;
  // [0] the disc, [k] track k (1..99); "" where the disc has no usable text.
  // Only as long as the last index that has one.
  std::vector<std::string> titles;
  std::vector<std::string> performers;

  bool HasText() const;
  // titles[index] / performers[index], "" beyond the end.
  const std::string& Title(int index) const;
  const std::string& Performer(int index) const;
};

struct CdText {
  std::vector<CdTextBlock> blocks;  // ascending block number; only blocks that sent packs
  // What was wrong with the reply (skipped packs, texts cut off or not
  // decodable, assumptions made), one line each, English, for logs and tests.
  std::vector<std::string> notes;

  // The block to show. Block 0 when it has text, unless `preferredLanguage`
  // (a language code, -1 none) names another block that has text; else the
  // first block with text; nullptr when no block has any.
  const CdTextBlock* Pick(int preferredLanguage = -1) const;
};

// The CRC-16 a pack carries in bytes 16 and 17, computed over its first 16.
std::uint16_t CdTextPackCrc(std::span<const std::uint8_t> first16);

// Decodes a READ TOC format 5 reply. Never throws; anything unsound is
// skipped and noted, never shown: a pack whose CRC does not match, a pack
// out of sequence or repeated, a text whose beginning or end was lost with
// a bad or missing pack, a text with bytes its character code does not
// allow. Bounded by kCdTextMaxPacks packs, 8 blocks and tracks 0..99.
CdText DecodeCdText(std::span<const std::uint8_t> reply);

// The window's fields from CD-Text: the disc's performer and title, and a
// title and performer for each of the disc's `trackCount` tracks ("" where
// none). nullopt when the chosen block has no text for this disc.
struct CdTextTitles {
  int block = 0;
  std::string artist;
  std::string title;
  std::vector<std::string> trackTitles;      // track 1 at [0]
  std::vector<std::string> trackPerformers;  // track 1 at [0]
};
std::optional<CdTextTitles> TitlesFromCdText(const CdText& text, int trackCount, int preferredLanguage = -1);

}  // namespace sl::disc
