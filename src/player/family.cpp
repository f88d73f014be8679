// PlayerLink: the player's properties and commands, the multi-value queries, the
// design file, the text line, the lyrics lines and fonts.
#include <filesystem>

#include "inifile/profile.h"
#include "player/contract.h"
#include "player/player.h"
#include "text/codepage.h"

namespace sl::player {

using ipc::Value;
using ipc::ValueType;
namespace slot = contract::control;

namespace {

int MulDivRound(int a, int b, int c) {
  const long long p = static_cast<long long>(a) * b;
  const long long q = p >= 0 ? (p + c / 2) / c : -((-p + c / 2) / c);
  return static_cast<int>(q);
}

std::string Text(const Value& v) { return text::Utf16ToUtf8(v.text); }

bool ReadFlag(std::int32_t v) { return v != 0; }

}  // namespace

void PlayerFont::SetHeight(int h) {
  Height = h;
  Size = -MulDivRound(h, 72, 96);
}

void PlayerFont::SetSize(int s) {
  Size = s;
  Height = -MulDivRound(s, 96, 72);
}

void PlayerLink::SetFontFrom(PlayerFont& font, const std::vector<Value>& v, std::size_t at) {
  // name, character set, size, style bits, colour
  font.Name = Text(v[at]);
  font.Charset = v[at + 1].number & 0xFF;
  const int size = v[at + 2].number;
  if (size < 0) {
    font.SetHeight(size);
  } else {
    font.SetSize(size);
  }
  const std::int32_t style = v[at + 3].number;
  font.Bold = style & 0x1;
  font.Italic = style & 0x2;
  font.Underline = style & 0x4;
  font.StrikeOut = style & 0x8;
  font.Color = v[at + 4].number;
}

// ---- Accessor pairs ----

int PlayerLink::GetLeft() { return ReadLong(slot::get_Left, "IDSMPControl::get_Left", -1); }
void PlayerLink::SetLeft(int v) { WriteLong(slot::put_Left, v); }
int PlayerLink::GetTop() { return ReadLong(slot::get_Top, "IDSMPControl::get_Top", -1); }
void PlayerLink::SetTop(int v) { WriteLong(slot::put_Top, v); }
int PlayerLink::GetWidth() { return ReadLong(slot::get_Width, "IDSMPControl::get_Width", -1); }
int PlayerLink::GetHeight() { return ReadLong(slot::get_Height, "IDSMPControl::get_Height", -1); }
bool PlayerLink::GetVisible() {
  return ReadFlag(ReadLong(slot::get_Visible, "IDSMPControl::get_Visible", 0));
}
void PlayerLink::SetVisible(bool v) { WriteLong(slot::put_Visible, v ? 1 : 0); }
// 524: the not-ready mode of the media control interface.
int PlayerLink::GetPlayStatus() {
  return ReadLong(slot::get_PlayStatus, "IDSMPControl::get_PlayStatus", 524);
}
int PlayerLink::GetTrack() { return ReadLong(slot::get_Track, "IDSMPControl::get_Track", 0); }
void PlayerLink::SetTrack(int v) { WriteLong(slot::put_Track, v); }

int PlayerLink::GetPosition() {
  try {
    return ReadLong(slot::get_Position, "IDSMPControl::get_Position", 0);
  } catch (...) {
    Unbind();
    return 0;
  }
}

void PlayerLink::SetPosition(int v) { WriteLong(slot::put_Position, v); }
int PlayerLink::GetLength() { return ReadLong(slot::get_Length, "IDSMPControl::get_Length", 0); }
int PlayerLink::GetVolume() { return ReadLong(slot::get_Volume, "IDSMPControl::get_Volume", 0); }
void PlayerLink::SetVolume(int v) { WriteLong(slot::put_Volume, v); }
int PlayerLink::GetCounter() { return ReadLong(slot::get_Counter, "IDSMPControl::get_Counter", 0); }
void PlayerLink::SetCounter(int v) { WriteLong(slot::put_Counter, v); }

namespace {
// VARIANT_BOOL travels as a 16-bit short: -1 true, 0 false.
constexpr ValueType kShortOut[] = {ValueType::Short};
}  // namespace

#define SL_VARIANT_BOOL_PAIR(Name, getSlot, putSlot)                                                  \
  bool PlayerLink::Get##Name() {                                                                      \
    if (!bound_) return false;                                                                        \
    std::vector<Value> out;                                                                           \
    const HResult hr = CallSlot(Intf::Control, getSlot, {}, kShortOut, out);                          \
    HrCheck(hr, "IDSMPControl::get_" #Name);                                                          \
    return !out.empty() && out[0].number != 0;                                                        \
  }                                                                                                   \
  void PlayerLink::Set##Name(bool v) {                                                                \
    if (!bound_) return;                                                                              \
    std::vector<Value> out;                                                                           \
    CallSlot(Intf::Control, putSlot, {Value::Short(static_cast<std::int16_t>(v ? -1 : 0))}, {}, out); \
  }

SL_VARIANT_BOOL_PAIR(Repeat, slot::get_Repeat, slot::put_Repeat)
SL_VARIANT_BOOL_PAIR(Random, slot::get_Random, slot::put_Random)
SL_VARIANT_BOOL_PAIR(RemainTime, slot::get_RemainTime, slot::put_RemainTime)
SL_VARIANT_BOOL_PAIR(OnTimer, slot::get_OnTimer, slot::put_OnTimer)
SL_VARIANT_BOOL_PAIR(OffTimer, slot::get_OffTimer, slot::put_OffTimer)
SL_VARIANT_BOOL_PAIR(ShutDownRecord, slot::get_ShutDownRecord, slot::put_ShutDownRecord)
#undef SL_VARIANT_BOOL_PAIR

PlayerDisplayMode PlayerLink::GetDisplayMode() {
  return static_cast<PlayerDisplayMode>(ReadLong(slot::get_DisplayMode, "IDSMPControl::get_DisplayMode", 0));
}
void PlayerLink::SetDisplayMode(PlayerDisplayMode v) {
  WriteLong(slot::put_DisplayMode, static_cast<std::int32_t>(v));
}
int PlayerLink::GetOnTime() { return ReadLong(slot::get_OnTime, "IDSMPControl::get_OnTime", 0); }
void PlayerLink::SetOnTime(int v) { WriteLong(slot::put_OnTime, v); }
int PlayerLink::GetOffTime() { return ReadLong(slot::get_OffTime, "IDSMPControl::get_OffTime", 0); }
void PlayerLink::SetOffTime(int v) { WriteLong(slot::put_OffTime, v); }
int PlayerLink::GetRecLevel() { return ReadLong(slot::get_RecLevel, "IDSMPControl::get_RecLevel", 100); }
void PlayerLink::SetRecLevel(int v) { WriteLong(slot::put_RecLevel, v); }
int PlayerLink::GetRate() { return ReadLong(slot::get_Rate, "IDSMPControl::get_Rate", 100); }
void PlayerLink::SetRate(int v) { WriteLong(slot::put_Rate, v); }
int PlayerLink::GetAdjustVolLevel() {
  return ReadLong(slot::get_AdjustVolLevel, "IDSMPControl::get_AdjustVolLevel", 100);
}
void PlayerLink::SetAdjustVolLevel(int v) { WriteLong(slot::put_AdjustVolLevel, v); }
int PlayerLink::GetAdjustSpeanaLevel() {
  return ReadLong(slot::get_AdjustSpeanaLevel, "IDSMPControl::get_AdjustSpeanaLevel", 100);
}
void PlayerLink::SetAdjustSpeanaLevel(int v) { WriteLong(slot::put_AdjustSpeanaLevel, v); }

// ---- Design ----

std::string PlayerLink::GetDesign() {
  if (bound_) {
    static constexpr ValueType kOut[] = {ValueType::String};
    std::vector<Value> out;
    const HResult hr = CallSlot(Intf::Control, slot::get_Design, {}, kOut, out);
    HrCheck(hr, "IDSMPControl::get_Design");
    return out.empty() ? std::string() : Text(out[0]);
  }
  const std::string ini = PlayerIniPath();
  if (ini.empty()) return {};
  std::string value = inifile::Profile(ini).ReadString("DSMP", "Design", "");
  if (value.empty()) return value;
  // A relative value names a file beside the player. It is resolved against
  // the player's folder by path arithmetic, which gives what switching the
  // current directory there would give without touching the process's
  // current directory.
  namespace fs = std::filesystem;
  fs::path folder = fs::path(playerPath_).parent_path();
  if (folder.is_relative()) {
    std::error_code ec;
    folder = fs::current_path(ec) / folder;
  }
  const fs::path v(value);
  return (v.is_absolute() ? v : folder / v).lexically_normal().string();
}

void PlayerLink::SetDesign(const std::string& v) {
  if (bound_) {
    std::vector<Value> out;
    CallSlot(Intf::Control, slot::put_Design, {Value::String(text::Utf8ToUtf16(v))}, {}, out);
    return;
  }
  const std::string ini = PlayerIniPath();
  if (ini.empty()) return;
  inifile::Profile profile(ini);
  if (!profile.WriteString("DSMP", "Design", v)) ReportSettingsNotSaved(profile.LastError());
}

// ---- Commands ----

void PlayerLink::Stop() { Command(slot::Stop); }
void PlayerLink::Pause() { Command(slot::Pause); }
void PlayerLink::Play() { Command(slot::Play); }
void PlayerLink::FF(bool On) { Command(slot::FF, {Value::Long(On ? 1 : 0)}); }
void PlayerLink::Rewind(bool On) { Command(slot::Rewind, {Value::Long(On ? 1 : 0)}); }
void PlayerLink::Next() { Command(slot::Next); }
void PlayerLink::Back() { Command(slot::Back); }
void PlayerLink::Eject() { Command(slot::Eject); }
void PlayerLink::Seek(int A, int B) { Command(slot::Seek, {Value::Long(A), Value::Long(B)}); }
void PlayerLink::ShowPlayList() { Command(slot::ShowPlayList); }
void PlayerLink::ShowProperty() { Command(slot::ShowProperty); }
void PlayerLink::ShowMenu() { Command(slot::ShowMenu); }
void PlayerLink::ShowToolMenu() { Command(slot::ShowToolMenu); }
void PlayerLink::Click(int Value) { Command(slot::Click, {Value::Long(Value)}); }
void PlayerLink::KeyDown(unsigned short Key, std::uint8_t Shift) {
  Command(slot::KeyDown, {Value::Long(Key), Value::Long(Shift)});
}
void PlayerLink::SaveDSMPini() { Command(slot::SaveDSMPini); }
void PlayerLink::GetFormImage(const std::string& Name) {
  Command(slot::GetFormImage, {Value::String(text::Utf8ToUtf16(Name))});
}

// ---- Multi-value queries ----

void PlayerLink::GetVolumes(int* Left, int* Right) {
  if (!bound_) {
    if (Left) *Left = 0;
    if (Right) *Right = 0;
    return;
  }
  static constexpr ValueType kOut[] = {ValueType::Long, ValueType::Long};
  std::vector<Value> out;
  CallSlot(Intf::Control, slot::GetVolumes, {}, kOut, out);
  if (out.size() == 2) {
    if (Left) *Left = out[0].number;
    if (Right) *Right = out[1].number;
  }
}

void PlayerLink::GetSpeana(int* Level) {
  if (!Level) return;
  if (!bound_) {
    for (int k = 0; k < 10; ++k) Level[k] = 0;
    return;
  }
  static constexpr ValueType kOut[10] = {ValueType::Long, ValueType::Long, ValueType::Long, ValueType::Long,
                                         ValueType::Long, ValueType::Long, ValueType::Long, ValueType::Long,
                                         ValueType::Long, ValueType::Long};
  std::vector<Value> out;
  CallSlot(Intf::Control, slot::GetSpeana, {}, kOut, out);
  if (out.size() == 10) {
    for (int k = 0; k < 10; ++k) Level[k] = out[static_cast<std::size_t>(k)].number;
  }
}

int PlayerLink::GetColor(int Index) {
  if (!bound_) return 0x1FFFFFFF;  // no colour
  static constexpr ValueType kOut[] = {ValueType::Long};
  std::vector<Value> out;
  CallSlot(Intf::Control, slot::GetColor, {Value::Long(Index)}, kOut, out);
  return out.empty() ? 0 : out[0].number;
}

PlayerFont* PlayerLink::GetFont(int Index) {
  if (bound_) {
    static constexpr ValueType kOut[] = {ValueType::String, ValueType::Long, ValueType::Long, ValueType::Long,
                                         ValueType::Long};
    std::vector<Value> out;
    CallSlot(Intf::Control, slot::GetFont, {Value::Long(Index)}, kOut, out);
    if (out.size() == 5) SetFontFrom(font_, out, 0);
  }
  return &font_;
}

PlayerTextLine* PlayerLink::GetText() {
  if (bound_) {
    // text, Value1, Flag1, Flag2, font name, character set, size, style, colour, Value2
    static constexpr ValueType kOut[] = {
        ValueType::String, ValueType::Long, ValueType::Short, ValueType::Short, ValueType::String,
        ValueType::Long,   ValueType::Long, ValueType::Long,  ValueType::Long,  ValueType::Long};
    std::vector<Value> out;
    CallSlot(Intf::Control, slot::GetText, {}, kOut, out);
    if (out.size() == 10) {
      PlayerTextLine& t = *textLine_;
      t.Text = Text(out[0]);
      t.Value1 = static_cast<std::uint8_t>(out[1].number & 0xFF);
      t.Flag1 = out[2].number != 0;
      t.Flag2 = out[3].number != 0;
      SetFontFrom(t.Font, out, 4);
      t.Value2 = out[9].number;
    }
  }
  return textLine_.get();
}

int PlayerLink::GetLyricsLines() {
  if (!bound_) return 0;
  static constexpr ValueType kOut[] = {ValueType::Long};
  std::vector<Value> out;
  const HResult hr = CallSlot(Intf::Lyrics, contract::lyrics::get_Lines, {}, kOut, out);
  HrCheck(hr, "IDSMPLyrics::get_Lines");
  const int count = out.empty() ? 0 : out[0].number;
  return std::clamp(count, 0, kMaxLyricsLines);
}

PlayerTextLine* PlayerLink::GetLyricsText(int Line) { return lyricsCache_->Get(Line); }

PlayerTextLine* LyricsCache::Get(int line) {
  const int count = owner_->GetLyricsLines();
  if (static_cast<int>(lines_.size()) != count) lines_.resize(static_cast<std::size_t>(count));
  if (line < 0 || line >= count) return nullptr;
  // LineIndex, text, Value1, flags, font name, character set, size, style, colour, Value2
  static constexpr ValueType kOut[] = {ValueType::Long,   ValueType::String, ValueType::Long, ValueType::Long,
                                       ValueType::String, ValueType::Long,   ValueType::Long, ValueType::Long,
                                       ValueType::Long,   ValueType::Long};
  std::vector<Value> out;
  owner_->CallSlot(PlayerLink::Intf::Lyrics, contract::lyrics::GetLine, {Value::Long(line)}, kOut, out);
  // The wait may have let a "lyrics loaded" notification empty the cache or
  // an unbind happen: look the slot up only now.
  if (line >= static_cast<int>(lines_.size())) return nullptr;
  auto& slotEntry = lines_[static_cast<std::size_t>(line)];
  if (!slotEntry) slotEntry = std::make_unique<PlayerTextLine>();
  PlayerTextLine& t = *slotEntry;
  if (out.size() == 10) {
    t.LineIndex = out[0].number;
    t.Text = Text(out[1]);
    t.Value1 = static_cast<std::uint8_t>(out[2].number & 0xFF);
    const auto flags = static_cast<std::uint32_t>(out[3].number);
    t.Flag1 = (flags & 0xFFFF) != 0;
    t.Flag2 = (flags >> 16) != 0;
    PlayerLink::SetFontFrom(t.Font, out, 4);
    t.Value2 = out[9].number;
  }
  return &t;
}

}  // namespace sl::player
