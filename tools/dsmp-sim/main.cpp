// dsmp-sim: a reference DSMP player for tests and demos. It serves the
// player's side of the link over the local IPC: a main window of class
// "TFormDSMP" that takes the "WM_DSMP" messages of clients, the DSMPControl
// object with IDSMPControl, IDSMPPlayList, IDSMPLyrics and IDSMPMenu, a play
// list, lyrics lines, the notification mask of every client, and the
// player's settings file (its program path with ".ini": sections "Tool" and
// "DSMP").
//
//   dsmp-sim [--state FILE] [--class NAME]
//
// The state file (default: $DSMP_SIM_STATE) is JSON, read at start and
// written back atomically after every change of the play list or a property:
//
//   {"version": 6100, "accepts_level": true, "refuse": "",
//    "playlist": {"name": "...", "title": "...",
//      "tracks": [{"title": "", "artist": "", "file": "D:\\Track01.cda",
//                  "text1": "", "text2": "", "long1": 0, "long2": 0, "long3": 0,
//                  "kind": 16, "drive": 0, "cdtrack": 0, "long6": 0, "long7": 0}]},
//    "saves": []}
//
// - version: what get_Version answers; accepts_level: whether CheckVersion
//   accepts client level 4300 (a refusal answers result code 1);
// - refuse: "IDSMPControl", "IDSMPPlayList", "IDSMPLyrics" or "IDSMPMenu" is
//   an interface the object does not give; "DSMPControl" makes creating the
//   object fail;
// - saves: the file names passed to Save, in order.
//
// Further keys, all optional:
// - "class": the main window's class name (default "TFormDSMP");
// - "plugin_state", "run_value": what RegisterClient answers (default 0, 0);
// - "properties": {"left": 10, "volume": 50, "repeat": 1, "design": "a.dsk",
//   ...} starting values of the properties (names as the get_ slots without
//   "get_", lower case; "volume_left"/"volume_right" for GetVolumes, "speana"
//   an array of ten levels, "colors" an array, "fonts" an array of font
//   objects {"name", "charset", "size", "style", "color"}, "text" a text-line
//   object {"text", "value1", "flag1", "flag2", "font": {...}, "value2"});
// - "lyrics": [{"index": 0, "text": "...", "value1": 2, "flags": 1,
//   "font": {...}, "value2": 0}, ...];
// Scripting keys (calls named "Interface.slot", e.g. "PlayList.31",
// interfaces Control, PlayList, Lyrics, Menu; "#N" picks the N-th such call,
// default the first):
// - "hang_on": "CALL[#N]": on that call, stop answering for "hang_ms"
//   (default 600000) milliseconds;
// - "exit_on": "CALL[#N]": on that call, end the process at once (exit
//   status 3) without answering;
// - "notify_on": {"call": "CALL[#N]", "wparam": 2, "lparam": 0}: on that
//   call, post the notification to every client window before answering;
// - "delay_ms": answer every call this many milliseconds late;
// - "long_title": get_PlayListTitle answers a title of this many characters
//   (to test a string over the link's bound);
// - "fail_on": "CALL": every such call answers the failure code 0x80004005
//   and stores nothing.
//
// Commands on standard input, one a line (numbers decimal or 0x hex):
//   notify WPARAM LPARAM     post "WM_DSMP" to every registered client whose
//                            mask has the notification's bit
//   post all|HANDLE WPARAM LPARAM
//                            post "WM_DSMP" to every known client window (or
//                            one window), mask or not
//   close                    post Close (2) to every client window, then exit
//   quit                     exit at once
//   hang MS                  stop answering for MS milliseconds
//   echo TEXT                print TEXT on standard output (a sync point)
//   lyrics N                 keep only the first N lyrics lines
//   burst N WPARAM LPARAM    N notifications to every registered client at
//                            once (N at most 100000), for load measurements
//   state                    print the state file's JSON on standard output
// End of input just stops reading commands. SIGTERM and SIGINT end the
// program cleanly; so does the removal of its IPC folder (a test's private
// runtime folder going away), since no client can reach it any more. Events are logged on standard output, one a line:
// "ready HANDLE", "announce WINDOW", "tools-changed", "register WINDOW",
// "unregister WINDOW", "call INTERFACE.SLOT ARGS..." (longs in decimal,
// strings in quotes).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "text/codepage.h"
#include "ipc/ipc.h"
#include "platform/json.h"
#include "player/contract.h"

namespace {

namespace ipc = sl::ipc;
namespace json = sl::platform::json;
namespace contract = sl::player::contract;
using ipc::HResult;
using ipc::Value;
using ipc::ValueType;

constexpr std::size_t kMaxTracks = 65535;
constexpr std::size_t kMaxClients = 256;
constexpr std::size_t kMaxSaves = 10000;

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

std::u16string W(const std::string& s) { return sl::text::Utf8ToUtf16(s); }
std::string U(const std::u16string& s) { return sl::text::Utf16ToUtf8(s); }

bool ParseNumber(const std::string& text, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoll(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

struct Track {
  std::string title, artist, file, text1, text2;
  std::int32_t long1 = 0, long2 = 0, long3 = 0, kind = 0, drive = 0, cdtrack = 0, long6 = 0, long7 = 0;
};

struct Client {
  ipc::Handle window = 0;
  std::uint32_t mask = contract::kDefaultMask;
  bool registered = false;
};

struct Trigger {
  std::string call;
  int nth = 1;
  bool armed = false;
  static Trigger From(const std::string& text) {
    Trigger t;
    if (text.empty()) return t;
    const auto hash = text.find('#');
    t.call = text.substr(0, hash);
    if (hash != std::string::npos) t.nth = std::max(1, std::atoi(text.c_str() + hash + 1));
    t.armed = true;
    return t;
  }
};

class Player {
 public:
  std::string statePath;
  json::Value state;
  std::vector<Track> tracks;
  std::vector<Client> clients;
  ipc::Handle main = 0;
  std::uint32_t message = 0;
  std::map<std::string, int> callCounts;
  Trigger hangOn, exitOn, notifyOn;
  std::uint32_t notifyWParam = 0;
  std::int32_t notifyLParam = 0;

  bool Load(std::string& error) {
    if (statePath.empty()) {
      state = json::Value(json::Object{});
    } else {
      std::ifstream in(statePath, std::ios::binary);
      if (!in) {
        state = json::Value(json::Object{});
      } else {
        std::ostringstream ss;
        ss << in.rdbuf();
        auto r = json::Parse(ss.str());
        if (!r.value || !r.value->IsObject()) {
          error = statePath + ": " + (r.error.empty() ? "not a JSON object" : r.error) + " at byte " +
                  std::to_string(r.offset);
          return false;
        }
        state = *r.value;
      }
    }
    if (const json::Value* pl = state.Find("playlist")) tracks = ParseTracks(*pl);
    hangOn = Trigger::From(state.GetString("hang_on"));
    exitOn = Trigger::From(state.GetString("exit_on"));
    if (const json::Value* n = state.Find("notify_on")) {
      notifyOn = Trigger::From(n->GetString("call"));
      notifyWParam = static_cast<std::uint32_t>(n->GetInt("wparam"));
      notifyLParam = n->GetInt("lparam");
    }
    return true;
  }

  static std::vector<Track> ParseTracks(const json::Value& pl) {
    std::vector<Track> tracks;
    if (const json::Value* list = pl.Find("tracks")) {
      for (const auto& t : list->AsArray()) {
        if (tracks.size() >= kMaxTracks) break;
        Track k;
        k.title = t.GetString("title");
        k.artist = t.GetString("artist");
        k.file = t.GetString("file");
        k.text1 = t.GetString("text1");
        k.text2 = t.GetString("text2");
        k.long1 = t.GetInt("long1");
        k.long2 = t.GetInt("long2");
        k.long3 = t.GetInt("long3");
        k.kind = t.GetInt("kind");
        k.drive = t.GetInt("drive");
        k.cdtrack = t.GetInt("cdtrack");
        k.long6 = t.GetInt("long6");
        k.long7 = t.GetInt("long7");
        tracks.push_back(std::move(k));
      }
    }
    return tracks;
  }

  json::Value& PlayListJson() {
    if (!state.Find("playlist")) state.Set("playlist", json::Value(json::Object{}));
    for (auto& [k, v] : state.AsObject()) {
      if (k == "playlist") return v;
    }
    return state;  // not reached
  }

  void SaveState() {
    json::Array arr;
    for (const auto& t : tracks) {
      arr.push_back(json::Value(json::Object{
          {"title", t.title}, {"artist", t.artist}, {"file", t.file}, {"text1", t.text1}, {"text2", t.text2},
          {"long1", t.long1}, {"long2", t.long2}, {"long3", t.long3}, {"kind", t.kind}, {"drive", t.drive},
          {"cdtrack", t.cdtrack}, {"long6", t.long6}, {"long7", t.long7}}));
    }
    PlayListJson().Set("tracks", json::Value(std::move(arr)));
    if (statePath.empty()) return;
    // Atomic: a temporary file beside the state file, renamed over it.
    const std::string tmp = statePath + ".tmp." + std::to_string(::getpid());
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out << json::Write(state) << '\n';
      if (!out) {
        std::cerr << "dsmp-sim: cannot write " << tmp << '\n';
        return;
      }
    }
    if (::rename(tmp.c_str(), statePath.c_str()) != 0) {
      std::cerr << "dsmp-sim: cannot replace " << statePath << ": " << std::strerror(errno) << '\n';
      ::unlink(tmp.c_str());
    }
  }

  std::string Str(const char* key) { return PlayListJson().GetString(key); }
  void SetStr(const char* key, const std::string& v) { PlayListJson().Set(key, json::Value(v)); }

  json::Value Properties() {
    const json::Value* p = state.Find("properties");
    return p ? *p : json::Value(json::Object{});
  }
  std::int32_t Prop(const char* name, std::int32_t def = 0) { return Properties().GetInt(name, def); }
  void SetProp(const char* name, json::Value v) {
    json::Value p = Properties();
    p.Set(name, std::move(v));
    state.Set("properties", std::move(p));
    SaveState();
  }

  Client* FindClient(ipc::Handle w) {
    for (auto& c : clients) {
      if (c.window == w) return &c;
    }
    return nullptr;
  }
  Client& AddClient(ipc::Handle w) {
    if (Client* c = FindClient(w)) return *c;
    if (clients.size() >= kMaxClients) clients.erase(clients.begin());
    clients.push_back(Client{w});
    return clients.back();
  }

  void PostTo(ipc::Handle w, std::uint32_t wp, std::int32_t lp) { ipc::PostMessage(w, message, wp, lp); }

  // Notification to registered clients whose mask has its bit.
  void Notify(std::uint32_t wp, std::int32_t lp) {
    const std::uint32_t code = contract::CodeOf(wp);
    for (const auto& c : std::vector<Client>(clients)) {
      if (c.registered && (c.mask & code)) PostTo(c.window, wp, lp);
    }
  }
  void PostAll(std::uint32_t wp, std::int32_t lp) {
    for (const auto& c : std::vector<Client>(clients)) PostTo(c.window, wp, lp);
  }

  void Hang(long long ms) {
    std::cout << "hang " << ms << std::endl;
    const long long until = ms;
    for (long long waited = 0; waited < until && !gStop; waited += 100) ::poll(nullptr, 0, 100);
  }

  // The scripted behaviour of one call, before it is answered. True: the
  // call is to fail.
  bool BeforeCall(const std::string& name, const std::vector<Value>& in) {
    const int count = ++callCounts[name];
    std::cout << "call " << name;
    for (const auto& v : in) {
      if (v.type == ValueType::String) {
        std::cout << " \"" << U(v.text).substr(0, 200) << '"';
      } else {
        std::cout << ' ' << v.number;
      }
    }
    std::cout << std::endl;
    if (exitOn.armed && exitOn.call == name && exitOn.nth == count) {
      std::cout << "exit mid-call" << std::endl;
      std::_Exit(3);
    }
    if (notifyOn.armed && notifyOn.call == name && notifyOn.nth == count) PostAll(notifyWParam, notifyLParam);
    if (hangOn.armed && hangOn.call == name && hangOn.nth == count) Hang(state.GetInt("hang_ms", 600000));
    const int delay = state.GetInt("delay_ms", 0);
    if (delay > 0) ::poll(nullptr, 0, std::min(delay, 60000));
    return state.GetString("fail_on") == name;
  }

  std::int32_t WndProc(std::uint32_t msg, std::uint32_t wp, std::int32_t lp) {
    if (msg != message) return 0;
    if (wp == contract::kAnnounceWindow) {
      const auto w = static_cast<ipc::Handle>(lp);
      std::cout << "announce " << w << std::endl;
      AddClient(w);
      // Tell the new client where the player is.
      PostTo(w, contract::kOpen, static_cast<std::int32_t>(main));
    } else if (wp == contract::kToolsChanged) {
      std::cout << "tools-changed" << std::endl;
    }
    return 1;
  }
};

Player* gPlayer = nullptr;

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

void PutFont(std::vector<Value>& out, const json::Value& f) {
  out.push_back(Value::String(W(f.GetString("name", "MS UI Gothic"))));
  out.push_back(Value::Long(f.GetInt("charset", 128)));
  out.push_back(Value::Long(f.GetInt("size", 9)));
  out.push_back(Value::Long(f.GetInt("style", 0)));
  out.push_back(Value::Long(f.GetInt("color", 0)));
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
    const std::string refused = p_.state.GetString("refuse");
    if (iid == contract::kIidIDSMPControl) return refused != "IDSMPControl";
    if (iid == contract::kIidIDSMPPlayList) return refused != "IDSMPPlayList";
    if (iid == contract::kIidIDSMPLyrics) return refused != "IDSMPLyrics";
    if (iid == contract::kIidIDSMPMenu) return refused != "IDSMPMenu";
    return false;
  }

  HResult Invoke(const ipc::Guid& iid, int slot, const std::vector<Value>& in, std::vector<Value>& out) override {
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
      case s::get_Version: out = {Value::Long(p_.state.GetInt("version", 6100))}; return ipc::kOk;
      case s::CheckVersion:
        if (!Match(in, {VT::Long})) return ipc::kInvalidArg;
        return p_.state.GetBool("accepts_level", true) ? ipc::kOk : ipc::kFalse;
      case s::get_Handle: out = {Value::Long(static_cast<std::int32_t>(p_.main))}; return ipc::kOk;
      case s::get_Design: out = {Value::String(W(p_.Properties().GetString("design")))}; return ipc::kOk;
      case s::put_Design:
        if (!Match(in, {VT::String})) return ipc::kInvalidArg;
        p_.SetProp("design", json::Value(U(in[0].text)));
        return ipc::kOk;
      case s::RegisterClient: {
        if (!Match(in, {VT::Long, VT::Long, VT::Long})) return ipc::kInvalidArg;
        const auto w = static_cast<ipc::Handle>(in[2].number);
        std::cout << "register " << w << std::endl;
        Client& c = p_.AddClient(w);
        c.registered = true;
        out = {Value::Byte(static_cast<std::uint8_t>(p_.state.GetInt("plugin_state", 0))),
               Value::Long(p_.state.GetInt("run_value", 0))};
        return ipc::kOk;
      }
      case s::UnregisterClient: {
        if (!Match(in, {VT::Long})) return ipc::kInvalidArg;
        const auto w = static_cast<ipc::Handle>(in[0].number);
        std::cout << "unregister " << w << std::endl;
        auto& cl = p_.clients;
        cl.erase(std::remove_if(cl.begin(), cl.end(), [&](const Client& c) { return c.window == w; }), cl.end());
        return ipc::kOk;
      }
      case s::Abort:
      case s::Close:
      case s::ShutDown:
        return ipc::kOk;
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
        p_.PostTo(static_cast<ipc::Handle>(in[0].number), static_cast<std::uint32_t>(in[1].number), in[2].number);
        return ipc::kOk;
      case s::GetText: {
        const json::Value props = p_.Properties();
        const json::Value* t = props.Find("text");
        const json::Value text = t ? *t : json::Value(json::Object{});
        const json::Value* f = text.Find("font");
        out = {Value::String(W(text.GetString("text"))), Value::Long(text.GetInt("value1", 2)),
               Value::Short(static_cast<std::int16_t>(text.GetInt("flag1", 1))),
               Value::Short(static_cast<std::int16_t>(text.GetInt("flag2", 0)))};
        PutFont(out, f ? *f : json::Value(json::Object{}));
        out.push_back(Value::Long(text.GetInt("value2", 0)));
        return ipc::kOk;
      }
      case s::GetVolumes:
        out = {Value::Long(p_.Prop("volume_left", 80)), Value::Long(p_.Prop("volume_right", 80))};
        return ipc::kOk;
      case s::GetSpeana: {
        const json::Value props = p_.Properties();
        const json::Value* a = props.Find("speana");
        for (int k = 0; k < 10; ++k) {
          const auto& arr = a ? a->AsArray() : json::Array{};
          const std::size_t ks = static_cast<std::size_t>(k);
          out.push_back(Value::Long(ks < arr.size() && arr[ks].IsNumber() ? static_cast<std::int32_t>(arr[ks].AsNumber()) : 0));
        }
        return ipc::kOk;
      }
      case s::GetColor: {
        if (!Match(in, {VT::Long})) return ipc::kInvalidArg;
        const json::Value props = p_.Properties();
        const json::Value* a = props.Find("colors");
        const auto idx = in[0].number;
        if (!a || idx < 0 || static_cast<std::size_t>(idx) >= a->AsArray().size()) return ipc::kInvalidArg;
        out = {Value::Long(static_cast<std::int32_t>(a->AsArray()[static_cast<std::size_t>(idx)].AsNumber()))};
        return ipc::kOk;
      }
      case s::GetFont: {
        if (!Match(in, {VT::Long})) return ipc::kInvalidArg;
        const json::Value props = p_.Properties();
        const json::Value* a = props.Find("fonts");
        const auto idx = in[0].number;
        if (!a || idx < 0 || static_cast<std::size_t>(idx) >= a->AsArray().size()) return ipc::kInvalidArg;
        PutFont(out, a->AsArray()[static_cast<std::size_t>(idx)]);
        return ipc::kOk;
      }
      default:
        break;
    }
    for (const auto& prop : kProps) {
      if (slot == prop.get) {
        const std::int32_t v = p_.Prop(prop.name, prop.def);
        out = {prop.variantBool ? Value::Short(static_cast<std::int16_t>(v)) : Value::Long(v)};
        return ipc::kOk;
      }
      if (prop.put && slot == prop.put) {
        if (!Match(in, {prop.variantBool ? VT::Short : VT::Long})) return ipc::kInvalidArg;
        p_.SetProp(prop.name, json::Value(in[0].number));
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
        const int longTitle = p_.state.GetInt("long_title", 0);
        out = {Value::String(longTitle > 0 ? std::u16string(static_cast<std::size_t>(std::min(longTitle, 400000)), u'x')
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
        std::ifstream f(U(in[0].text), std::ios::binary);
        if (!f) return ipc::kFail;
        std::ostringstream ss;
        ss << f.rdbuf();
        auto r = json::Parse(ss.str());
        if (!r.value || !r.value->IsObject()) return ipc::kFail;
        p_.tracks = Player::ParseTracks(*r.value);
        p_.SetStr("name", U(in[0].text));
        p_.SetStr("title", r.value->GetString("title"));
        p_.SaveState();
        return ipc::kOk;
      }
      case pl::Save: {
        if (!Match(in, {VT::String})) return ipc::kInvalidArg;
        json::Value saves = p_.state.Find("saves") ? *p_.state.Find("saves") : json::Value(json::Array{});
        if (saves.AsArray().size() < kMaxSaves) saves.AsArray().push_back(json::Value(U(in[0].text)));
        p_.state.Set("saves", std::move(saves));
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
               Value::String(W(t.text1)), Value::String(W(t.text2)), Value::Long(t.long1),
               Value::Long(t.long2),      Value::Long(t.long3),      Value::Long(t.kind),
               Value::Long(packed),       Value::Long(t.long6),      Value::Long(t.long7)};
        return ipc::kOk;
      }
      case pl::SetTrackInfo: {
        if (!Match(in, {VT::Long, VT::String, VT::String, VT::String, VT::String, VT::String, VT::Long, VT::Long,
                        VT::Long, VT::Long, VT::Long, VT::Long, VT::Long}))
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
      default:
        return ipc::kNotImplemented;
    }
  }

  HResult Lyrics(int slot, const std::vector<Value>& in, std::vector<Value>& out) {
    const json::Value* l = p_.state.Find("lyrics");
    const json::Array lines = l ? l->AsArray() : json::Array{};
    if (slot == contract::lyrics::get_Lines) {
      out = {Value::Long(static_cast<std::int32_t>(lines.size()))};
      return ipc::kOk;
    }
    if (slot == contract::lyrics::GetLine) {
      if (!Match(in, {ValueType::Long})) return ipc::kInvalidArg;
      const std::int32_t n = in[0].number;
      if (n < 0 || static_cast<std::size_t>(n) >= lines.size()) return ipc::kInvalidArg;
      const json::Value& line = lines[static_cast<std::size_t>(n)];
      const json::Value* f = line.Find("font");
      out = {Value::Long(line.GetInt("index", n)), Value::String(W(line.GetString("text"))),
             Value::Long(line.GetInt("value1", 2)), Value::Long(line.GetInt("flags", 1))};
      PutFont(out, f ? *f : json::Value(json::Object{}));
      out.push_back(Value::Long(line.GetInt("value2", 0)));
      return ipc::kOk;
    }
    return ipc::kNotImplemented;
  }

  HResult Menu(int slot, const std::vector<Value>& in, std::vector<Value>&) {
    if (slot == contract::menu::DeleteMenuItem) return Match(in, {ValueType::Long}) ? ipc::kOk : ipc::kInvalidArg;
    return ipc::kNotImplemented;
  }

  Player& p_;
};

void RunCommand(Player& p, const std::string& line) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  long long a = 0, b = 0, c = 0;
  std::string x, y, z;
  if (cmd == "notify") {
    in >> x >> y;
    if (ParseNumber(x, a) && ParseNumber(y, b))
      p.Notify(static_cast<std::uint32_t>(a), static_cast<std::int32_t>(b));
    else
      std::cerr << "dsmp-sim: notify WPARAM LPARAM\n";
  } else if (cmd == "post") {
    in >> x >> y >> z;
    if (ParseNumber(y, b) && ParseNumber(z, c)) {
      if (x == "all") {
        p.PostAll(static_cast<std::uint32_t>(b), static_cast<std::int32_t>(c));
      } else if (ParseNumber(x, a)) {
        p.PostTo(static_cast<ipc::Handle>(a), static_cast<std::uint32_t>(b), static_cast<std::int32_t>(c));
      }
    } else {
      std::cerr << "dsmp-sim: post all|HANDLE WPARAM LPARAM\n";
    }
  } else if (cmd == "close") {
    p.PostAll(contract::kClose, 0);
    gStop = 1;
  } else if (cmd == "quit") {
    gStop = 1;
  } else if (cmd == "hang") {
    in >> x;
    if (ParseNumber(x, a)) p.Hang(a);
  } else if (cmd == "echo") {
    std::string rest;
    std::getline(in, rest);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    std::cout << rest << std::endl;
  } else if (cmd == "burst") {
    in >> x >> y >> z;
    if (ParseNumber(x, a) && ParseNumber(y, b) && ParseNumber(z, c) && a > 0 && a <= 100000) {
      for (long long i = 0; i < a; ++i) p.Notify(static_cast<std::uint32_t>(b), static_cast<std::int32_t>(c));
    }
  } else if (cmd == "lyrics") {
    in >> x;
    if (ParseNumber(x, a) && a >= 0) {
      json::Value lines = p.state.Find("lyrics") ? *p.state.Find("lyrics") : json::Value(json::Array{});
      auto& arr = lines.AsArray();
      if (static_cast<std::size_t>(a) < arr.size()) arr.resize(static_cast<std::size_t>(a));
      p.state.Set("lyrics", std::move(lines));
    }
  } else if (cmd == "state") {
    std::cout << sl::platform::json::Write(p.state) << std::endl;
  } else if (!cmd.empty()) {
    std::cerr << "dsmp-sim: unknown command " << cmd << '\n';
  }
}

}  // namespace

int main(int argc, char** argv) {
  Player player;
  gPlayer = &player;
  if (const char* env = std::getenv("DSMP_SIM_STATE")) player.statePath = env;
  std::string cls;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--state" && i + 1 < argc) {
      player.statePath = argv[++i];
    } else if (a == "--class" && i + 1 < argc) {
      cls = argv[++i];
    } else if (a == "--help") {
      std::cout << "usage: dsmp-sim [--state FILE] [--class NAME]\n";
      return 0;
    } else {
      // A player is started with whatever its clients pass: ignore the rest.
    }
  }
  std::string error;
  if (!player.Load(error)) {
    std::cerr << "dsmp-sim: " << error << '\n';
    return 2;
  }
  if (!ipc::Available()) {
    std::cerr << "dsmp-sim: " << ipc::UnavailableReason() << '\n';
    return 2;
  }
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  player.message = ipc::RegisterWindowMessage(contract::kMessageName);
  // The object is served before the window shows, so a client that saw the
  // window can create it at once.
  ipc::RegisterClassObject(contract::kClsidDSMPControl, [&player]() -> std::shared_ptr<ipc::ServedObject> {
    if (player.state.GetString("refuse") == "DSMPControl") return nullptr;
    return std::make_shared<DSMPControl>(player);
  });
  if (cls.empty()) cls = player.state.GetString("class", contract::kMainClass);
  player.main = ipc::CreateWindow(cls, [&player](std::uint32_t m, std::uint32_t wp, std::int32_t lp) {
    return player.WndProc(m, wp, lp);
  });
  if (player.main == 0) {
    std::cerr << "dsmp-sim: cannot create the main window\n";
    return 2;
  }
  std::cout << "ready " << player.main << std::endl;

  bool stdinOpen = true;
  std::string pending;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string reachable = std::string(runtime ? runtime : "") + "/sonolabel-ipc/n" + std::to_string(::getpid());
  while (!gStop) {
    if (!std::filesystem::exists(reachable)) break;
    pollfd fds[2] = {{ipc::WakeFd(), POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
    const int r = ::poll(fds, 2, 200);
    if (r < 0 && errno != EINTR) break;
    ipc::Dispatch();
    if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buf[4096];
      const ssize_t k = ::read(0, buf, sizeof buf);
      if (k <= 0) {
        stdinOpen = false;
      } else {
        pending.append(buf, static_cast<std::size_t>(k));
        if (pending.size() > (1u << 20)) pending.clear();
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos && !gStop) {
          const std::string line = pending.substr(0, nl);
          pending.erase(0, nl + 1);
          RunCommand(player, line);
          ipc::Dispatch();
        }
      }
    }
  }
  // Deliver what is still queued (a Close posted just now), then leave.
  ipc::DestroyWindow(player.main);
  ipc::Shutdown();
  return 0;
}
