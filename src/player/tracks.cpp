// PlayerLink: the play list and its tracks.
#include <algorithm>
#include <charconv>

#include "player/contract.h"
#include "player/player.h"
#include "text/codepage.h"
#include "text/utf8.h"

namespace sl::player {

using ipc::Value;
using ipc::ValueType;
namespace pl = contract::playlist;

namespace {

std::u16string Wide(const std::string& s) { return text::Utf8ToUtf16(s); }
std::string Narrow(const Value& v) { return text::Utf16ToUtf8(v.text); }

// First code point of UTF-8 text and its length in bytes (0 when empty).
std::pair<char32_t, std::size_t> FirstChar(std::string_view s) {
  if (s.empty()) return {0, 0};
  const text::Utf8Char c = text::DecodeUtf8(s, 0);
  const char32_t cp = c.length != 0 ? c.codePoint : text::kReplacementChar;
  // The length is the one the first byte announces; a stray continuation
  // byte takes the byte after it along. Neither can be a drive letter.
  const auto b = static_cast<unsigned char>(s[0]);
  const std::size_t len =
      text::IsContinuationByte(b) ? std::min<std::size_t>(2, s.size()) : text::AnnouncedLength(s, 0);
  return {cp, len};
}

}  // namespace

void CompleteCdTrack(PlayListTrack& info) {
  if ((info.Kind != 16 && info.Kind != 17) || (info.Drive != 0 && info.CDTrack != 0)) return;
  // Lower case for the letters that matter ("track", ".cda", the drive
  // letter); bytes of other characters stay as they are, so multi-byte text
  // is never split.
  std::string s = info.FileName;
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const auto [first, len] = FirstChar(s);
  if (len == 0 || len >= s.size()) return;
  // The second character must be ":".
  if (s[len] != ':') return;
  const long drive = static_cast<long>(first) - 'a';
  info.Drive = (drive < 0 || drive > 26) ? 0 : static_cast<std::int32_t>(drive);
  const std::size_t p = s.find("track");
  if (p == std::string::npos) return;
  const std::string rest = s.substr(p + 5);
  const std::size_t q = rest.find(".cda");
  if (q == std::string::npos) return;
  const std::string number = rest.substr(0, q);
  std::int32_t value = 0;
  const char* b = number.data();
  const char* e = b + number.size();
  if (b != e && *b == '+') ++b;
  const auto r = std::from_chars(b, e, value);
  // Only a number the record's 16-bit track field carries: a larger or
  // negative one would be written back to the player as another drive and
  // track when the record is exported.
  const bool fits = value >= 0 && value <= 0xFFFF;
  info.CDTrack = (b != e && r.ec == std::errc() && r.ptr == e && fits) ? value : 0;
}

int PlayerLink::GetTracks() {
  if (!bound_) return 0;
  static constexpr ValueType kOut[] = {ValueType::Long};
  std::vector<Value> out;
  const HResult hr = CallSlot(Intf::PlayList, pl::get_Tracks, {}, kOut, out);
  HrCheck(hr, "IDSMPPlayList::get_Tracks");
  const int n = out.empty() ? 0 : out[0].number;
  // A count beyond any real play list would make the export loop for hours.
  return std::clamp(n, 0, kMaxTracks);
}

std::string PlayerLink::GetPlayListTitle() {
  if (!bound_) return {};
  static constexpr ValueType kOut[] = {ValueType::String};
  std::vector<Value> out;
  const HResult hr = CallSlot(Intf::PlayList, pl::get_PlayListTitle, {}, kOut, out);
  HrCheck(hr, "IDSMPPlayList::get_PlayListTitle");
  return out.empty() ? std::string() : Narrow(out[0]);
}

void PlayerLink::SetPlayListTitle(const std::string& Title) { WritePlayListTitle(Title); }

HResult PlayerLink::WritePlayListTitle(const std::string& Title) {
  if (!bound_) return ipc::kDisconnected;
  std::vector<Value> out;
  return CallSlot(Intf::PlayList, pl::put_PlayListTitle, {Value::String(Wide(Title))}, {}, out);
}

std::string PlayerLink::GetPlayListName() {
  if (!bound_) return {};
  static constexpr ValueType kOut[] = {ValueType::String};
  std::vector<Value> out;
  const HResult hr = CallSlot(Intf::PlayList, pl::get_PlayListName, {}, kOut, out);
  HrCheck(hr, "IDSMPPlayList::get_PlayListName");
  return out.empty() ? std::string() : Narrow(out[0]);
}

PlayListTrack TrackInfoFromValues(const std::vector<Value>& out) {
  PlayListTrack info;
  if (out.size() == std::size(kTrackInfoTypes)) {
    info.Title = Narrow(out[0]);
    info.Artist = Narrow(out[1]);
    info.FileName = Narrow(out[2]);
    info.opaqueText1 = Narrow(out[3]);
    info.opaqueText2 = Narrow(out[4]);
    info.opaqueValue1 = out[5].number;
    info.opaqueValue2 = out[6].number;
    info.opaqueValue3 = out[7].number;
    info.Kind = out[8].number;
    const auto packed = static_cast<std::uint32_t>(out[9].number);
    info.Drive = static_cast<std::int32_t>(packed >> 16);
    info.CDTrack = static_cast<std::int32_t>(packed & 0xFFFF);
    info.opaqueValue4 = out[10].number;
    info.opaqueValue5 = out[11].number;
  }
  CompleteCdTrack(info);
  return info;
}

std::vector<Value> TrackInfoValues(const PlayListTrack& Info) {
  const std::uint32_t packed =
      (static_cast<std::uint32_t>(Info.Drive) << 16) | static_cast<std::uint32_t>(Info.CDTrack);
  return {Value::String(Wide(Info.Title)),
          Value::String(Wide(Info.Artist)),
          Value::String(Wide(Info.FileName)),
          Value::String(Wide(Info.opaqueText1)),
          Value::String(Wide(Info.opaqueText2)),
          Value::Long(Info.opaqueValue1),
          Value::Long(Info.opaqueValue2),
          Value::Long(Info.opaqueValue3),
          Value::Long(Info.Kind),
          Value::Long(static_cast<std::int32_t>(packed)),
          Value::Long(Info.opaqueValue4),
          Value::Long(Info.opaqueValue5)};
}

PlayListTrack PlayerLink::GetTrackInfo(int Track) {
  // The result code is not examined: a track the player cannot give reads
  // as whatever it stored (an empty record when it stored nothing).
  PlayListTrack info;
  ReadTrackInfo(Track, info);
  return info;
}

HResult PlayerLink::ReadTrackInfo(int Track, PlayListTrack& Info) {
  Info = PlayListTrack{};
  if (!bound_) return ipc::kDisconnected;
  std::vector<Value> out;
  const HResult hr = CallSlot(Intf::PlayList, pl::GetTrackInfo, {Value::Long(Track)}, kTrackInfoTypes, out);
  Info = TrackInfoFromValues(out);
  return hr;
}

void PlayerLink::SetTrackInfo(int Track, const PlayListTrack& Info) { WriteTrackInfo(Track, Info); }

HResult PlayerLink::WriteTrackInfo(int Track, const PlayListTrack& Info) {
  if (!bound_) return ipc::kDisconnected;
  std::vector<Value> in{Value::Long(Track)};
  for (auto& v : TrackInfoValues(Info)) in.push_back(std::move(v));
  std::vector<Value> out;
  return CallSlot(Intf::PlayList, pl::SetTrackInfo, in, {}, out);
}

bool FitsOnLink(const std::string& text) {
  // Each UTF-8 byte gives at most one UTF-16 unit: short text needs no count.
  if (text.size() <= ipc::kMaxStringUnits) return true;
  return Wide(text).size() <= ipc::kMaxStringUnits;
}

void PlayerLink::New() {
  if (!bound_) return;
  std::vector<Value> out;
  CallSlot(Intf::PlayList, pl::New, {}, {}, out);
}

void PlayerLink::Add(const std::string& FileName) {
  if (!bound_) return;
  std::vector<Value> out;
  CallSlot(Intf::PlayList, pl::Add, {Value::String(Wide(FileName))}, {}, out);
}

void PlayerLink::Load(const std::string& FileName) {
  if (!bound_) return;
  std::vector<Value> out;
  CallSlot(Intf::PlayList, pl::Load, {Value::String(Wide(FileName))}, {}, out);
}

void PlayerLink::Save(const std::string& FileName) {
  if (!bound_) return;
  std::vector<Value> out;
  CallSlot(Intf::PlayList, pl::Save, {Value::String(Wide(FileName))}, {}, out);
}

int PlayList::Tracks() { return owner_->GetTracks(); }
std::string PlayList::PlayListTitle() { return owner_->GetPlayListTitle(); }
void PlayList::SetPlayListTitle(const std::string& title) { owner_->SetPlayListTitle(title); }
std::string PlayList::PlayListName() { return owner_->GetPlayListName(); }
void PlayList::Save(const std::string& fileName) { owner_->Save(fileName); }

}  // namespace sl::player
