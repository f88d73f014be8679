// Builds READ TOC format 5 (CD-Text) replies the way a disc's lead-in holds
// them: texts of one pack type NUL-separated (two NULs in double-byte
// blocks) and cut into 12-byte pieces, each pack with its track number,
// sequence number, block and character position and a correct CRC; the
// three size-information packs close each block. Tests then break what
// they want to see handled.
#pragma once

#include <iconv.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "disc/cdtext.h"

namespace sl::test {

using CdTextPack = std::array<std::uint8_t, 18>;

// One language block. Texts are bytes in the block's character code:
// titles[0] / performers[0] are the disc's, [k] track k's.
struct CdTextBlockContent {
  int block = 0;
  int characterCode = disc::kCdTextLatin1;
  int language = disc::kCdTextEnglish;
  std::vector<std::string> titles;
  std::vector<std::string> performers;
};

inline void SealCdTextPack(CdTextPack& p) {
  const std::uint16_t crc = disc::CdTextPackCrc({p.data(), 16});
  p[16] = static_cast<std::uint8_t>(crc >> 8);
  p[17] = static_cast<std::uint8_t>(crc & 0xFF);
}

// UTF-8 -> Shift-JIS (CP932) bytes, for MS-JIS blocks.
inline std::string ShiftJis(const std::string& utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no CP932 converter");  // NOLINT
  std::string out(utf8.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  std::size_t inLeft = utf8.size();
  char* o = out.data();
  std::size_t outLeft = out.size();
  const std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (r == static_cast<std::size_t>(-1)) throw std::runtime_error("not CP932: " + utf8);
  out.resize(out.size() - outLeft);
  return out;
}

namespace detail {

// The packs of one pack type: the texts' bytes in a row, cut every 12.
inline void AppendTextPacks(std::vector<CdTextPack>& out, std::uint8_t type,
                            const CdTextBlockContent& content, const std::vector<std::string>& texts,
                            int& sequence) {
  if (texts.empty()) return;
  const bool doubleByte = content.characterCode == disc::kCdTextMsJis;
  struct Byte {
    std::uint8_t value;
    int track;
    int offset;  // characters of its text before it
  };
  std::vector<Byte> stream;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    int offset = 0;
    for (char c : texts[k]) stream.push_back({static_cast<std::uint8_t>(c), static_cast<int>(k), offset++});
    for (int n = 0; n < (doubleByte ? 2 : 1); ++n) stream.push_back({0, static_cast<int>(k), offset});
  }
  for (std::size_t at = 0; at < stream.size(); at += 12) {
    CdTextPack p{};
    const Byte& first = stream[at];
    p[0] = type;
    p[1] = static_cast<std::uint8_t>(first.track);
    p[2] = static_cast<std::uint8_t>(sequence++);
    const int position = doubleByte ? first.offset / 2 : first.offset;
    p[3] = static_cast<std::uint8_t>((doubleByte ? 0x80 : 0) | (content.block << 4) | std::min(position, 15));
    for (std::size_t i = 0; i < 12 && at + i < stream.size(); ++i) p[4 + i] = stream[at + i].value;
    SealCdTextPack(p);
    out.push_back(p);
  }
}

}  // namespace detail

// The packs of every block, in block order, size information included.
inline std::vector<CdTextPack> BuildCdTextPacks(const std::vector<CdTextBlockContent>& blocks) {
  std::vector<std::vector<CdTextPack>> perBlock;
  std::array<std::uint8_t, 8> lastSequence{};
  std::array<std::uint8_t, 8> languages{};
  for (const auto& content : blocks) {
    std::vector<CdTextPack> packs;
    int sequence = 0;
    detail::AppendTextPacks(packs, 0x80, content, content.titles, sequence);
    detail::AppendTextPacks(packs, 0x81, content, content.performers, sequence);
    if (sequence + 3 > disc::kCdTextMaxPacksPerBlock) throw std::runtime_error("block over 256 packs");
    lastSequence[static_cast<std::size_t>(content.block)] = static_cast<std::uint8_t>(sequence + 2);
    languages[static_cast<std::size_t>(content.block)] = static_cast<std::uint8_t>(content.language);
    perBlock.push_back(std::move(packs));
  }
  std::vector<CdTextPack> out;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const auto& content = blocks[b];
    auto& packs = perBlock[b];
    std::array<std::uint8_t, 36> record{};
    record[0] = static_cast<std::uint8_t>(content.characterCode);
    record[1] = 1;
    const std::size_t tracks = std::max(content.titles.size(), content.performers.size());
    record[2] = static_cast<std::uint8_t>(tracks > 0 ? tracks - 1 : 0);
    for (const auto& p : packs) ++record[4 + (p[0] - 0x80)];
    record[4 + 15] = 3;
    for (std::size_t k = 0; k < 8; ++k) {
      record[20 + k] = lastSequence[k];
      record[28 + k] = languages[k];
    }
    int sequence = static_cast<int>(packs.size());
    for (int part = 0; part < 3; ++part) {
      CdTextPack p{};
      p[0] = 0x8F;
      p[1] = static_cast<std::uint8_t>(part);
      p[2] = static_cast<std::uint8_t>(sequence++);
      p[3] = static_cast<std::uint8_t>(content.block << 4);
      for (int i = 0; i < 12; ++i)
        p[4 + static_cast<std::size_t>(i)] = record[static_cast<std::size_t>(part * 12 + i)];
      SealCdTextPack(p);
      packs.push_back(p);
    }
    out.insert(out.end(), packs.begin(), packs.end());
  }
  return out;
}

// The reply: header (length of what follows it) and the packs.
inline std::vector<std::uint8_t> CdTextReplyOf(const std::vector<CdTextPack>& packs) {
  const std::size_t length = 2 + packs.size() * 18;
  std::vector<std::uint8_t> reply{static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
                                  0, 0};
  for (const auto& p : packs) reply.insert(reply.end(), p.begin(), p.end());
  return reply;
}

inline std::vector<std::uint8_t> CdTextReply(const std::vector<CdTextBlockContent>& blocks) {
  return CdTextReplyOf(BuildCdTextPacks(blocks));
}

}  // namespace sl::test
