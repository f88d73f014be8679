// The DSMPControl object of the reference player: the IDSMPControl,
// IDSMPPlayList, IDSMPLyrics and IDSMPMenu calls in slot order, answered
// from the player's state (sim_player.h), each logged and scripted first.
#include "control_object.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <string>
#include <vector>

#include "sim_player.h"

namespace dsmp_sim {

namespace ipc = sl::ipc;
namespace contract = sl::player::contract;
using ipc::HResult;
using ipc::Value;
using ipc::ValueType;
using sl::platform::JsonBool;
using sl::platform::JsonInt;
using sl::platform::JsonIntValue;
using sl::platform::JsonMember;
using sl::platform::JsonText;

namespace {

std::string IfaceName(const ipc::Guid& iid) {
  if (iid == contract::kIidIDSMPControl) return "Control";
  if (iid == contract::kIidIDSMPPlayList) return "PlayList";
  if (iid == contract::kIidIDSMPLyrics) return "Lyrics";
  if (iid == contract::kIidIDSMPMenu) return "Menu";
  return "?";
}

bool Match(const std::vector<Value>& in, std::initializer_list<ValueType> types) {
  if (in.size() != types.size()) return false;
  std::size_t i = 0;
  for (auto t : types) {
    if (in[i++].type != t) return false;
  }
  return true;
}

void PutFont(std::vector<Value>& out, const Json& f) {
  out.push_back(Value::String(W(JsonText(f, "name", "MS UI Gothic"))));
  out.push_back(Value::Long(JsonInt(f, "charset", 128)));
  out.push_back(Value::Long(JsonInt(f, "size", 9)));
  out.push_back(Value::Long(JsonInt(f, "style", 0)));
  out.push_back(Value::Long(JsonInt(f, "color", 0)));
}

// Property slots: get slot -> (name, put slot or 0, VARIANT_BOOL?).
struct Prop {
  int get;
  int put;
  const char* name;
  bool variantBool;
  std::int32_t def;
};
namespace s = contract::control;
constexpr Prop kProps[] = {
    {s::get_Visible, s::put_Visible, "visible", false, 1},
    {s::get_Left, s::put_Left, "left", false, 100},
    {s::get_Top, s::put_Top, "top", false, 100},
    {s::get_Width, 0, "width", false, 275},
    {s::get_Height, 0, "height", false, 116},
    {s::get_PlayStatus, 0, "playstatus", false, 525},
    {s::get_Track, s::put_Track, "track", false, 1},
    {s::get_Position, s::put_Position, "position", false, 0},
    {s::get_Length, 0, "length", false, 0},
    {s::get_Volume, s::put_Volume, "volume", false, 80},
    {s::get_Counter, s::put_Counter, "counter", false, 0},
    {s::get_Repeat, s::put_Repeat, "repeat", true, 0},
    {s::get_Random, s::put_Random, "random", true, 0},
    {s::get_RemainTime, s::put_RemainTime, "remaintime", true, 0},
    {s::get_DisplayMode, s::put_DisplayMode, "displaymode", false, 0},
    {s::get_OnTimer, s::put_OnTimer, "ontimer", true, 0},
    {s::get_OnTime, s::put_OnTime, "ontime", false, 0},
    {s::get_OffTimer, s::put_OffTimer, "offtimer", true, 0},
    {s::get_OffTime, s::put_OffTime, "offtime", false, 0},
    {s::get_ShutDownRecord, s::put_ShutDownRecord, "shutdownrecord", true, 0},
    {s::get_RecLevel, s::put_RecLevel, "reclevel", false, 100},
    {s::get_Rate, s::put_Rate, "rate", false, 100},
    {s::get_AdjustVolLevel, s::put_AdjustVolLevel, "adjustvollevel", false, 100},
    {s::get_AdjustSpeanaLevel, s::put_AdjustSpeanaLevel, "adjustspeanalevel", false, 100},
};

class DSMPControl : public ipc::ServedObject {
 public:
  explicit DSMPControl(Player& p) : p_(p) {}

  bool Supports(const ipc::Guid& iid) override {
    const std::string refused = JsonText(p_.state, "refuse");
    if (iid == contract::kIidIDSMPControl) return refused != "IDSMPControl";
    if (iid == contract::kIidIDSMPPlayList) return refused != "IDSMPPlayList";
    if (iid == contract::kIidIDSMPLyrics) return refused != "IDSMPLyrics";
    if (iid == contract::kIidIDSMPMenu) return refused != "IDSMPMenu";
    return false;
  }

  HResult Invoke(const ipc::Guid& iid, int slot, const std::vector<Value>& in,
                 std::vector<Value>& out) override {
    if (p_.BeforeCall(IfaceName(iid) + "." + std::to_string(slot), in)) return ipc::kFail;
    if (iid == contract::kIidIDSMPControl) return Control(slot, in, out);
    if (iid == contract::kIidIDSMPPlayList) return PlayList(slot, in, out);
    if (iid == contract::kIidIDSMPLyrics) return Lyrics(slot, in, out);
    if (iid == contract::kIidIDSMPMenu) return Menu(slot, in, out);
    return ipc::kNoInterface;
  }

 private:
  HResult Control(int slot, const std::vector<Value>& in, std::vector<Value>& out) {
    using VT = ValueType;
    switch (slot) {
      case s::get_Version: out = {Value::Long(JsonInt(p_.state, "version", 6100))}; return ipc::kOk;
      case s::CheckVersion:
        if (!Match(in, {VT::Long})) return ipc::kInvalidArg;
        return JsonBool(p_.state, "accepts_level", true) ? ipc::kOk : ipc::kFalse;
      case s::get_Handle: out = {Value::Long(static_cast<std::int32_t>(p_.main))}; return ipc::kOk;
      case s::get_Design: out = {Value::String(W(JsonText(p_.Properties(), "design")))}; return ipc::kOk;
      case s::put_Design:
        if (!Match(in, {VT::String})) return ipc::kInvalidArg;
        p_.SetProp("design", U(in[0].text));
        return ipc::kOk;
      case s::RegisterClient: {
        if (!Match(in, {VT::Long, VT::Long, VT::Long})) return ipc::kInvalidArg;
        const auto w = static_cast<ipc::Handle>(in[2].number);
        std::cout << "register " << w << std::endl;
        Client& c = p_.AddClient(w);
        c.registered = true;
        out = {Value::Byte(static_cast<std::uint8_t>(JsonInt(p_.state, "plugin_state", 0))),
               Value::Long(JsonInt(p_.state, "run_value", 0))};
        return ipc::kOk;
      }
      case s::UnregisterClient: {
        if (!Match(in, {VT::Long})) return ipc::kInvalidArg;
        const auto w = static_cast<ipc::Handle>(in[0].number);
        std::cout << "unregister " << w << std::endl;
        auto& cl = p_.clients;
        cl.erase(std::remove_if(cl.begin(), cl.end(), [&](const Client& c) { return c.window == w; }),
                 cl.end());
        return ipc::kOk;
      }
      case s::Abort:
      case s::Close:
      case s::ShutDown: return ipc::kOk;
      case s::GetEvent: {
        if (!Match(in, {VT::Long})) return ipc::kInvalidArg;
        const Client* c = p_.FindClient(static_cast<ipc::Handle>(in[0].number));
        out = {Value::Long(static_cast<std::int32_t>(c ? c->mask : contract::kDefaultMask))};
        return ipc::kOk;
      }
      case s::SetEvent: {
        if (!Match(in, {VT::Long, VT::Long})) return ipc::kInvalidArg;
        p_.AddClient(static_cast<ipc::Handle>(in[0].number)).mask = static_cast<std::uint32_t>(in[1].number);
        return ipc::kOk;
      }
      case s::NotifyEvent:
        if (!Match(in, {VT::Long, VT::Long, VT::Long})) return ipc::kInvalidArg;
        p_.PostTo(static_cast<ipc::Handle>(in[0].number), static_cast<std::uint32_t>(in[1].number),
                  in[2].number);
        return ipc::kOk;
      case s::GetText: {
        const Json props = p_.Properties();
        const Json* t = JsonMember(props, "text");
        const Json text = t != nullptr ? *t : Json::object();
        const Json* f = JsonMember(text, "font");
        out = {Value::String(W(JsonText(text, "text"))), Value::Long(JsonInt(text, "value1", 2)),
               Value::Short(static_cast<std::int16_t>(JsonInt(text, "flag1", 1))),
               Value::Short(static_cast<std::int16_t>(JsonInt(text, "flag2", 0)))};
        PutFont(out, f != nullptr ? *f : Json::object());
        out.push_back(Value::Long(JsonInt(text, "value2", 0)));
        return ipc::kOk;
      }
      case s::GetVolumes:
        out = {Value::Long(p_.Prop("volume_left", 80)), Value::Long(p_.Prop("volume_right", 80))};
        return ipc::kOk;
      case s::GetSpeana: {
        const Json props = p_.Properties();
        const Json* a = JsonMember(props, "speana");
        const std::size_t given = a != nullptr && a->is_array() ? a->size() : 0;
        for (std::size_t k = 0; k < 10; ++k)
          out.push_back(Value::Long(k < given ? JsonIntValue((*a)[k]) : 0));
        return ipc::kOk;
      }
      case s::GetColor: {
        if (!Match(in, {VT::Long})) return ipc::kInvalidArg;
        const Json props = p_.Properties();
        const Json* a = JsonMember(props, "colors");
        const auto idx = in[0].number;
        if (!a || !a->is_array() || idx < 0 || static_cast<std::size_t>(idx) >= a->size())
          return ipc::kInvalidArg;
        out = {Value::Long(JsonIntValue((*a)[static_cast<std::size_t>(idx)]))};
        return ipc::kOk;
      }
      case s::GetFont: {
        if (!Match(in, {VT::Long})) return ipc::kInvalidArg;
        const Json props = p_.Properties();
        const Json* a = JsonMember(props, "fonts");
        const auto idx = in[0].number;
        if (!a || !a->is_array() || idx < 0 || static_cast<std::size_t>(idx) >= a->size())
          return ipc::kInvalidArg;
        PutFont(out, (*a)[static_cast<std::size_t>(idx)]);
        return ipc::kOk;
      }
      default: break;
    }
    for (const auto& prop : kProps) {
      if (slot == prop.get) {
        const std::int32_t v = p_.Prop(prop.name, prop.def);
        out = {prop.variantBool ? Value::Short(static_cast<std::int16_t>(v)) : Value::Long(v)};
        return ipc::kOk;
      }
      if (prop.put && slot == prop.put) {
        if (!Match(in, {prop.variantBool ? VT::Short : VT::Long})) return ipc::kInvalidArg;
        p_.SetProp(prop.name, in[0].number);
        return ipc::kOk;
      }
    }
    // Commands the sim only records (play, stop, seek, key input, ...).
    if ((slot >= s::Stop && slot <= s::KeyDown) || slot == s::SaveDSMPini || slot == s::GetFormImage)
      return ipc::kOk;
    return ipc::kNotImplemented;
  }

  HResult PlayList(int slot, const std::vector<Value>& in, std::vector<Value>& out) {
    namespace pl = contract::playlist;
    using VT = ValueType;
    switch (slot) {
      case pl::get_PlayListName: out = {Value::String(W(p_.Str("name")))}; return ipc::kOk;
      case pl::get_Tracks: out = {Value::Long(static_cast<std::int32_t>(p_.tracks.size()))}; return ipc::kOk;
      case pl::get_PlayListTitle: {
        const int longTitle = JsonInt(p_.state, "long_title", 0);
        out = {Value::String(longTitle > 0
                                 ? std::u16string(static_cast<std::size_t>(std::min(longTitle, 400000)), u'x')
                                 : W(p_.Str("title")))};
        return ipc::kOk;
      }
      case pl::put_PlayListTitle:
        if (!Match(in, {VT::String})) return ipc::kInvalidArg;
        p_.SetStr("title", U(in[0].text));
        p_.SaveState();
        return ipc::kOk;
      case pl::New:
        p_.tracks.clear();
        p_.SetStr("name", "");
        p_.SetStr("title", "");
        p_.SaveState();
        return ipc::kOk;
      case pl::Add: {
        if (!Match(in, {VT::String})) return ipc::kInvalidArg;
        if (p_.tracks.size() >= kMaxTracks) return ipc::kFail;
        Track t;
        t.file = U(in[0].text);
        std::string lower = t.file;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        t.kind = lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".cda") == 0 ? 16 : 1;
        p_.tracks.push_back(std::move(t));
        p_.SaveState();
        return ipc::kOk;
      }
      case pl::Load: {
        if (!Match(in, {VT::String})) return ipc::kInvalidArg;
        Json list;
        std::string error;
        if (ReadJsonObjectFile(U(in[0].text), list, error) != FileRead::Ok) return ipc::kFail;
        p_.tracks = Player::ParseTracks(list);
        p_.SetStr("name", U(in[0].text));
        p_.SetStr("title", JsonText(list, "title"));
        p_.SaveState();
        return ipc::kOk;
      }
      case pl::Save: {
        if (!Match(in, {VT::String})) return ipc::kInvalidArg;
        Json& saves = p_.state["saves"];
        if (!saves.is_array()) saves = Json::array();
        if (saves.size() < kMaxSaves) saves.push_back(U(in[0].text));
        p_.SaveState();
        return ipc::kOk;
      }
      case pl::GetTrackInfo: {
        if (!Match(in, {VT::Long})) return ipc::kInvalidArg;
        const std::int32_t n = in[0].number;
        // Track numbers outside 1..Tracks are refused, never read.
        if (n < 1 || static_cast<std::size_t>(n) > p_.tracks.size()) return ipc::kInvalidArg;
        const Track& t = p_.tracks[static_cast<std::size_t>(n - 1)];
        const auto packed = static_cast<std::int32_t>((static_cast<std::uint32_t>(t.drive) << 16) |
                                                      (static_cast<std::uint32_t>(t.cdtrack) & 0xFFFF));
        out = {Value::String(W(t.title)), Value::String(W(t.artist)), Value::String(W(t.file)),
               Value::String(W(t.text1)), Value::String(W(t.text2)),  Value::Long(t.long1),
               Value::Long(t.long2),      Value::Long(t.long3),       Value::Long(t.kind),
               Value::Long(packed),       Value::Long(t.long6),       Value::Long(t.long7)};
        return ipc::kOk;
      }
      case pl::SetTrackInfo: {
        if (!Match(in, {VT::Long, VT::String, VT::String, VT::String, VT::String, VT::String, VT::Long,
                        VT::Long, VT::Long, VT::Long, VT::Long, VT::Long, VT::Long}))
          return ipc::kInvalidArg;
        const std::int32_t n = in[0].number;
        if (n < 1 || static_cast<std::size_t>(n) > p_.tracks.size()) return ipc::kInvalidArg;
        Track& t = p_.tracks[static_cast<std::size_t>(n - 1)];
        t.title = U(in[1].text);
        t.artist = U(in[2].text);
        t.file = U(in[3].text);
        t.text1 = U(in[4].text);
        t.text2 = U(in[5].text);
        t.long1 = in[6].number;
        t.long2 = in[7].number;
        t.long3 = in[8].number;
        t.kind = in[9].number;
        t.drive = static_cast<std::int32_t>(static_cast<std::uint32_t>(in[10].number) >> 16);
        t.cdtrack = static_cast<std::int32_t>(static_cast<std::uint32_t>(in[10].number) & 0xFFFF);
        t.long6 = in[11].number;
        t.long7 = in[12].number;
        p_.SaveState();
        return ipc::kOk;
      }
      default: return ipc::kNotImplemented;
    }
  }

  HResult Lyrics(int slot, const std::vector<Value>& in, std::vector<Value>& out) {
    const Json* l = JsonMember(p_.state, "lyrics");
    const Json lines = l != nullptr && l->is_array() ? *l : Json::array();
    if (slot == contract::lyrics::get_Lines) {
      out = {Value::Long(static_cast<std::int32_t>(lines.size()))};
      return ipc::kOk;
    }
    if (slot == contract::lyrics::GetLine) {
      if (!Match(in, {ValueType::Long})) return ipc::kInvalidArg;
      const std::int32_t n = in[0].number;
      if (n < 0 || static_cast<std::size_t>(n) >= lines.size()) return ipc::kInvalidArg;
      const Json& line = lines[static_cast<std::size_t>(n)];
      const Json* f = JsonMember(line, "font");
      out = {Value::Long(JsonInt(line, "index", n)), Value::String(W(JsonText(line, "text"))),
             Value::Long(JsonInt(line, "value1", 2)), Value::Long(JsonInt(line, "flags", 1))};
      PutFont(out, f != nullptr ? *f : Json::object());
      out.push_back(Value::Long(JsonInt(line, "value2", 0)));
      return ipc::kOk;
    }
    return ipc::kNotImplemented;
  }

  HResult Menu(int slot, const std::vector<Value>& in, std::vector<Value>&) {
    if (slot == contract::menu::DeleteMenuItem)
      return Match(in, {ValueType::Long}) ? ipc::kOk : ipc::kInvalidArg;
    return ipc::kNotImplemented;
  }

  Player& p_;
};

}  // namespace

std::shared_ptr<ipc::ServedObject> MakeControlObject(Player& player) {
  return std::make_shared<DSMPControl>(player);
}

}  // namespace dsmp_sim
