// TDSMP: construction, finding and starting the player, binding, the
// notifications and their events, the mask, menu and tool entries.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "inifile/profile.h"
#include "platform/scoped_flag.h"
#include "player/contract.h"
#include "player/player.h"

namespace sl::player {

using ipc::Value;
using ipc::ValueType;

namespace {

// How long Execute waits for a started player to show its window: the
// configured time (1 to 600000 ms), else 10 s.
int StartTimeoutMs(int configuredMs) {
  return configuredMs >= 1 && configuredMs <= 600000 ? configuredMs : kDefaultPlayerStartMs;
}

std::vector<std::string> ProcessArguments() {
  std::vector<std::string> args;
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all;
  char buf[4096];
  while (in && all.size() < (std::size_t{64} << 10)) {
    in.read(buf, sizeof buf);
    all.append(buf, static_cast<std::size_t>(in.gcount()));
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < all.size() && args.size() < 4096; ++i) {
    if (all[i] == '\0') {
      args.push_back(all.substr(start, i - start));
      start = i + 1;
    }
  }
  return args;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto f = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (f(a[i]) != f(b[i])) return false;
  }
  return true;
}

std::string HexUpper(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", v);
  return buf;
}

bool DebuggerAttached() {
  std::ifstream in("/proc/self/status");
  std::string line;
  for (int i = 0; i < 64 && std::getline(in, line); ++i) {
    if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
  }
  return false;
}

template <typename F, typename... A>
void Raise(const F& handler, A&&... args) {
  if (!handler) return;
  // A copy: the handler may replace itself.
  F copy = handler;
  copy(std::forward<A>(args)...);
}

}  // namespace

// ---- Construction and destruction ----

TDSMP::TDSMP(shell::ShellServices& services, TDSMPOptions options)
    : FServices(services), FOptions(std::move(options)), FText(std::make_unique<TLyrics>()) {
  FAutoLink = true;
  FLyricsList = std::make_unique<TLyricsList>(this);
  FPlayList = std::make_unique<TPlayList>(this);
  FMenu4000 = std::make_shared<TDSMPMenu>(this, 0x4000);
  FMenu5000 = std::make_shared<TDSMPMenu>(this, 0x5000);
  FMenu9000 = std::make_shared<TDSMPMenu>(this, 0x9000);
  FMenu8000 = std::make_shared<TDSMPMenu>(this, 0x8000);
  FEvent = contract::kDefaultMask;
  FDSMPMessage = ipc::RegisterWindowMessage(contract::kMessageName);
  if (auto path = ipc::ReadRegistryDefault(ipc::RegistryRoot::LocalMachine,
                                           "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\DSMP.EXE")) {
    FDSMPPath = *path;
  }
  if (FDSMPPath.empty()) {
    if (auto path = ipc::ReadRegistryDefault(ipc::RegistryRoot::CurrentUser, "Software\\DELTA\\DSMP"))
      FDSMPPath = *path;
  }
  FWindowHandle = ipc::CreateMessageWindow(
      [this](std::uint32_t msg, std::uint32_t wp, std::int32_t lp) { return WndProc(msg, wp, lp); });
  if (!FOptions.designing) {
    GetDSMPHandle();
    ipc::PostMessage(ipc::kBroadcast, FDSMPMessage, contract::kAnnounceWindow,
                     static_cast<std::int32_t>(FWindowHandle));
  }
}

TDSMP::~TDSMP() {
  // Handlers belong to a host that is going away: none runs from here.
  FDestroying = true;
  OnOpen = OnClose = OnRun = OnAbort = OnBind = OnUnbind = nullptr;
  OnDSMP = OnUser = OnStatus = OnButton = nullptr;
  try {
    Unbind();
  } catch (...) {
  }
  ipc::DestroyWindow(FWindowHandle);
  FMenuList.clear();
}

void TDSMP::Loaded() {
  FOptions.loading = false;
  if (!FBound && FAutoLink && GetDSMPHandle() != 0) Bind();
}

void TDSMP::SetAutoLink(bool Value) {
  FAutoLink = Value;
  if (Value && !FBound && !FOptions.designing && !FOptions.loading && GetDSMPHandle() != 0) Bind();
}

// ---- Finding, posting, starting ----

HWND TDSMP::GetDSMPHandle() {
  FDSMPHandle = ipc::FindWindow(contract::kMainClass);
  if (FDSMPHandle == 0) FDSMPHandle = ipc::FindWindow(contract::kOtherMainClass);
  return FDSMPHandle;
}

bool TDSMP::Post(int Msg, int WParam, int LParam) {
  if (FDSMPHandle == 0 && GetDSMPHandle() == 0) return false;
  if (ipc::PostMessage(FDSMPHandle, static_cast<std::uint32_t>(Msg), static_cast<std::uint32_t>(WParam), LParam))
    return true;
  // A stale handle: find the window again and try once more.
  GetDSMPHandle();
  return FDSMPHandle != 0 &&
         ipc::PostMessage(FDSMPHandle, static_cast<std::uint32_t>(Msg), static_cast<std::uint32_t>(WParam), LParam);
}

int TDSMP::Request(int Msg, int WParam, int LParam) {
  if (GetDSMPHandle() == 0) return 0;
  const auto r = ipc::SendMessageTimeout(FDSMPHandle, static_cast<std::uint32_t>(Msg),
                                         static_cast<std::uint32_t>(WParam), LParam, ipc::TimeoutMs());
  return r ? *r : 0;
}

bool TDSMP::Execute(const std::string& Params) {
  if (FDSMPPath.empty()) return false;
  const std::string folder = std::filesystem::path(FDSMPPath).parent_path().string();
  const pid_t pid = ipc::StartProcess(FDSMPPath, Params, folder);
  if (pid < 0) return false;
  // The player counts as started once it shows its main window; one that
  // does not within the bound counts as not started, and is ended: it is
  // our child, nobody will talk to it, and every retry would start another.
  if (ipc::WaitForInputIdle(pid, StartTimeoutMs(FOptions.startTimeoutMs))) return true;
  ipc::EndProcess(pid);
  return false;
}

// ---- Calls ----

HResult TDSMP::CallSlot(Intf which, int slot, const std::vector<Value>& in, std::span<const ValueType> outTypes,
                        std::vector<Value>& out) {
  out.clear();
  // A copy of the reference: a notification handled while the call waits may
  // unbind and release the holder.
  ipc::Interface intf;
  switch (which) {
    case Intf::Control: intf = FControl; break;
    case Intf::PlayList: intf = FPlayListIntf; break;
    case Intf::Lyrics: intf = FLyricsIntf; break;
    case Intf::Menu: intf = FMenuIntf; break;
  }
  if (!intf.IsBound()) return ipc::kDisconnected;
  const HResult hr = intf.Call(slot, in, outTypes, out);
  // Unregistering from a player that has just gone away fails as expected:
  // only a failure while the link is in use counts as losing it.
  if (ipc::IsLinkFailure(hr) && !FUnbinding) LoseLink();
  return hr;
}

void TDSMP::LoseLink() {
  FLinkLost = true;
  ++FEpoch;
  if (FBound) Unbind();
}

void TDSMP::HrCheck(HResult hr, const char* what) {
  if (!ipc::Failed(hr)) return;
  std::string message = ipc::ResultText(hr);
  if (message.empty()) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Error 0x%08X (%d)", static_cast<unsigned>(hr), hr);
    message = buf;
  }
  const std::string text = std::string(what) + " failed: " + message +
                           "\nPress [Y]es to terminate, [N]o to continue and [C]ancel to Debug";
  const auto answer = FServices.QuestionBox("HRCHECK: ", text, shell::MsgButtons::YesNoCancel);
  if (answer == shell::MsgAnswer::Yes) throw EOleSysError(text, hr);
  if (answer == shell::MsgAnswer::Cancel && DebuggerAttached()) ::raise(SIGTRAP);
}

std::int32_t TDSMP::ReadLong(int slot, const char* what, std::int32_t unbound) {
  if (!FBound) return unbound;
  static constexpr ValueType kOut[] = {ValueType::Long};
  std::vector<Value> out;
  const HResult hr = CallSlot(Intf::Control, slot, {}, kOut, out);
  HrCheck(hr, what);
  return out.empty() ? 0 : out[0].number;
}

void TDSMP::WriteLong(int slot, std::int32_t value) {
  if (!FBound) return;
  std::vector<Value> out;
  CallSlot(Intf::Control, slot, {Value::Long(value)}, {}, out);
}

void TDSMP::Command(int slot, const std::vector<Value>& in) {
  if (!FBound) return;
  std::vector<Value> out;
  CallSlot(Intf::Control, slot, in, {}, out);
}

// ---- Binding ----

void TDSMP::Bind() {
  if (FBound || FOptions.designing || FBinding || FDestroying) return;
  platform::ScopedFlag binding(FBinding);
  if (GetDSMPHandle() == 0 && !Execute("")) return;
  FLinkLost = false;
  const std::uint64_t epoch = FEpoch;
  // A Close or Abort notification, or a lost link, while one of the calls
  // below waited: the player is going away, stop here.
  auto interrupted = [&] { return FLinkLost || FEpoch != epoch; };
  auto releaseAll = [&] {
    FControl.Release();
    FPlayListIntf.Release();
    FLyricsIntf.Release();
    FMenuIntf.Release();
  };
  try {
    ipc::Interface unknown;
    HResult hr = ipc::CreateInstance(contract::kClsidDSMPControl, contract::kClassContext, ipc::kIUnknown, unknown);
    if (ipc::Failed(hr)) {
      FServices.Beep();
      FServices.MessageBox(shell::MsgIcon::Error,
                           "DSMPControl Create Instance Error[" + HexUpper(static_cast<std::uint32_t>(hr)) + "]");
      return;
    }
    struct Wanted {
      const ipc::Guid& iid;
      const char* name;
    };
    const Wanted wanted[] = {{contract::kIidIDSMPControl, "IDSMPControl"},
                             {contract::kIidIDSMPPlayList, "IDSMPPlayList"},
                             {contract::kIidIDSMPLyrics, "IDSMPLyrics"},
                             {contract::kIidIDSMPMenu, "IDSMPMenu"}};
    ipc::Interface got[4];
    for (int i = 0; i < 4; ++i) {
      hr = unknown.Query(wanted[i].iid, got[i]);
      if (ipc::Failed(hr)) {
        if (ipc::IsLinkFailure(hr)) FLinkLost = true;
        FServices.Beep();
        FServices.MessageBox(shell::MsgIcon::Error, std::string(wanted[i].name) + " Interface Error[" +
                                                        HexUpper(static_cast<std::uint32_t>(hr)) + "]");
        return;
      }
    }
    FControl = got[0];
    FPlayListIntf = got[1];
    FLyricsIntf = got[2];
    FMenuIntf = got[3];

    {
      static constexpr ValueType kOut[] = {ValueType::Long};
      std::vector<Value> out;
      hr = CallSlot(Intf::Control, contract::control::get_Handle, {}, kOut, out);
      HrCheck(hr, "IDSMPControl::get_Handle");
      if (interrupted()) {
        releaseAll();
        return;
      }
      FDSMPHandle = out.empty() ? 0 : static_cast<HWND>(out[0].number);
    }
    ClearMenuList();
    FBound = true;

    const bool accepted = GetVersion() >= contract::kMinVersion && CheckVersion(contract::kClientLevel);
    // Unbound meanwhile (lost link, Close): no version verdict to give.
    if (!FBound || interrupted()) {
      if (FBound) Unbind();
      return;
    }
    if (accepted) {
      static constexpr ValueType kOut[] = {ValueType::Byte, ValueType::Long};
      std::vector<Value> out;
      CallSlot(Intf::Control, contract::control::RegisterClient,
               {Value::Long(ipc::kModuleInstance), Value::Long(static_cast<std::int32_t>(::getpid())),
                Value::Long(static_cast<std::int32_t>(FWindowHandle))},
               kOut, out);
      if (out.size() == 2) {
        FPluginState = static_cast<std::uint8_t>(out[0].number);
        FRunCode = out[1].number;
      }
      if (!FBound) return;
      SetEvent(FEvent);
      if (!FBound) return;
      Raise(OnBind, this);
    } else {
      Unbind();
      FServices.Beep();
      FServices.MessageBox(shell::MsgIcon::Warning,
                           "このバージョンのDSMPには対応していません\n対応版をお使いください");
    }
  } catch (const EOleSysError& e) {
    FServices.Beep();
    FServices.MessageBox(shell::MsgIcon::Error, e.what());
  }
}

void TDSMP::Unbind() {
  if (!FBound || FUnbinding) return;
  platform::ScopedFlag unbinding(FUnbinding);
  ++FEpoch;
  RemoveMenu(nullptr);
  {
    std::vector<Value> out;
    CallSlot(Intf::Control, contract::control::UnregisterClient,
             {Value::Long(static_cast<std::int32_t>(FWindowHandle))}, {}, out);
  }
  FBound = false;
  FRunCode = 0;
  FControl.Release();
  FPlayListIntf.Release();
  FLyricsIntf.Release();
  FMenuIntf.Release();
  ClearMenuList();
  Raise(OnUnbind, this);
}

// ---- Version, plug-in, commands ----

int TDSMP::GetVersion() { return ReadLong(contract::control::get_Version, "IDSMPControl::get_Version", 0); }

bool TDSMP::CheckVersion(int Version) {
  if (!FBound) return false;
  std::vector<Value> out;
  return CallSlot(Intf::Control, contract::control::CheckVersion, {Value::Long(Version)}, {}, out) == 0;
}

bool TDSMP::IsPlugin() {
  if (FPluginState != 0) return FPluginState != 1;
  const std::vector<std::string> args = FOptions.arguments ? *FOptions.arguments : ProcessArguments();
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (EqualNoCase(args[i], "/PLUGIN")) return true;
  }
  return false;
}

void TDSMP::Close() { Command(contract::control::Close); }
void TDSMP::Abort() { Command(contract::control::Abort, {Value::Long(static_cast<std::int32_t>(FWindowHandle))}); }
void TDSMP::ShutDown() { Command(contract::control::ShutDown); }

// ---- The notification mask ----

std::uint32_t TDSMP::GetEvent() {
  if (!FBound) return FEvent;
  static constexpr ValueType kOut[] = {ValueType::Long};
  std::vector<Value> out;
  CallSlot(Intf::Control, contract::control::GetEvent, {Value::Long(static_cast<std::int32_t>(FWindowHandle))},
           kOut, out);
  return out.empty() ? 0 : static_cast<std::uint32_t>(out[0].number);
}

void TDSMP::SetEvent(std::uint32_t Mask) {
  FEvent = Mask;
  if (!FBound) return;
  std::vector<Value> out;
  CallSlot(Intf::Control, contract::control::SetEvent,
           {Value::Long(static_cast<std::int32_t>(FWindowHandle)), Value::Long(static_cast<std::int32_t>(Mask))}, {},
           out);
}

namespace {
struct EventBit {
  TDSMPEventSet kind;
  std::uint32_t bit;
};
constexpr EventBit kEventBits[] = {{evVolume, contract::kVolume},     {evSpeana, contract::kSpeana},
                                   {evLyrics, contract::kLyrics},     {evCounter, contract::kCounter},
                                   {evPosition, contract::kPosition}, {evTimer, contract::kTimer},
                                   {evMove, contract::kMove}};
}  // namespace

TDSMPEvents TDSMP::GetEvents() {
  const std::uint32_t mask = GetEvent();
  TDSMPEvents set;
  for (const auto& e : kEventBits) {
    if (mask & e.bit) set.Include(e.kind);
  }
  return set;
}

void TDSMP::SetEvents(TDSMPEvents Set) {
  std::uint32_t mask = contract::kDefaultMask;
  for (const auto& e : kEventBits) {
    if (Set.Contains(e.kind)) mask |= e.bit;
  }
  SetEvent(mask);
}

void TDSMP::NotifyEvent(HWND Window, std::uint32_t Event, int Param) {
  // The order decides: window 0 is posted to only when no player is bound.
  if (Window == FWindowHandle) {  // NOLINT(bugprone-branch-clone)
    ipc::PostMessage(FWindowHandle, FDSMPMessage, Event, Param);
  } else if (FBound) {
    std::vector<Value> out;
    CallSlot(Intf::Control, contract::control::NotifyEvent,
             {Value::Long(static_cast<std::int32_t>(Window)), Value::Long(static_cast<std::int32_t>(Event)),
              Value::Long(Param)},
             {}, out);
  } else if (Window == 0) {
    ipc::PostMessage(FWindowHandle, FDSMPMessage, Event, Param);
  }
}

// ---- Notifications ----

std::int32_t TDSMP::WndProc(std::uint32_t Msg, std::uint32_t WParam, std::int32_t LParam) {
  if (Msg == FDSMPMessage) {
    if (!FDestroying) DSMPHandler(WParam, LParam);
    return 1;
  }
  return 0;  // what the default procedure answers for a message it ignores
}

void TDSMP::DSMPHandler(std::uint32_t Event, int Param) {
  const std::uint32_t code = contract::CodeOf(Event);
  switch (code) {
    case contract::kOpen: NotifyOpen(Param); break;
    case contract::kClose: NotifyClose(Param); break;
    case contract::kRun: NotifyRun(Param); break;
    case contract::kAbort: NotifyAbort(); break;
    case contract::kUser: NotifyUser(Event & 0xFFFF, Param); break;
    default:
      if (!FBound) break;
      switch (code) {
        case contract::kPlayStatus: NotifyPlayStatus(Param); break;
        case contract::kTimer: NotifyTimer(Param); break;
        case contract::kCounter: NotifyCounter(Param); break;
        case contract::kPosition: NotifyPosition(Param); break;
        case contract::kLyrics: NotifyLyrics(Param); break;
        case contract::kVolume: NotifyVolume(Param); break;
        case contract::kMove: NotifyMove(Param); break;
        case contract::kMenu: NotifyMenu(Param); break;
        case contract::kSpeana: NotifySpeana(Event, Param); break;
        case contract::kButton: NotifyButton(Event & 0xFFFF, Param); break;
        case contract::kStatus: NotifyStatus(Event & 0xFFFF, Param); break;
        default: break;
      }
  }
  Raise(OnDSMP, this, Event, Param);
}

void TDSMP::NotifyUser(std::uint32_t Event, int Param) { Raise(OnUser, this, Event, Param); }

void TDSMP::NotifyOpen(int Param) {
  FDSMPHandle = static_cast<HWND>(Param);
  if (!FBound && FAutoLink) Bind();
  Raise(OnOpen, this);
}

void TDSMP::NotifyClose(int) {
  FDSMPHandle = 0;
  ++FEpoch;
  Unbind();
  Raise(OnClose, this);
}

void TDSMP::NotifyRun(int Param) {
  FRunCode = Param;
  Raise(OnRun, this);
}

void TDSMP::NotifyAbort() {
  {
    platform::ScopedFlag aborting(FAborting);
    Raise(OnAbort, this);
    FDSMPHandle = 0;
  }
  ++FEpoch;
  Unbind();
}

void TDSMP::NotifyPlayStatus(int Param) { Raise(OnPlayStatus, this, Param); }
void TDSMP::NotifyLyrics(int Param) { Raise(OnLyrics, this, Param); }
void TDSMP::NotifyCounter(int Param) { Raise(OnCounter, this, Param); }
void TDSMP::NotifyPosition(int Param) { Raise(OnPosition, this, Param); }
void TDSMP::NotifyTimer(int Param) { Raise(OnIntTimer, this, Param); }

void TDSMP::NotifyVolume(int Param) {
  const auto v = static_cast<std::uint32_t>(Param);
  Raise(OnVolume, this, static_cast<int>(v & 0xFFFF), static_cast<int>(v >> 16));
}

void TDSMP::NotifyMove(int Param) {
  const auto v = static_cast<std::uint32_t>(Param);
  Raise(OnMove, this, static_cast<int>(static_cast<std::int16_t>(v & 0xFFFF)),
        static_cast<int>(static_cast<std::int16_t>(v >> 16)));
}

void TDSMP::NotifySpeana(std::uint32_t WParam, int LParam) {
  if (!OnSpeana) return;
  int level[10];
  const auto l = static_cast<std::uint32_t>(LParam);
  for (int k = 0; k < 8; ++k) level[k] = static_cast<int>((l >> (4 * k)) & 0xF);
  level[8] = static_cast<int>(WParam & 0xF);
  level[9] = static_cast<int>((WParam >> 4) & 0xF);
  Raise(OnSpeana, this, level);
}

void TDSMP::NotifyButton(std::uint32_t Event, int Param) { Raise(OnButton, this, Event, Param); }

void TDSMP::NotifyStatus(std::uint32_t Kind, int Value) {
  Raise(OnStatus, this, Kind, Value);
  const bool flag = Value != 0;
  switch (Kind) {
    case 1: Raise(OnVisible, this, flag); break;
    case 2: Raise(OnActive, this, flag); break;
    case 3: Raise(OnMinimize, this, flag); break;
    case 4: Raise(OnStayOnTop, this, flag); break;
    case 5: Raise(OnRepeat, this, flag); break;
    case 6: Raise(OnRandom, this, flag); break;
    case 7: Raise(OnDisplayTime, this, flag); break;
    case 8: Raise(OnDisplayTrack, this, Value); break;
    case 9: Raise(OnDisplayTitle, this, Value); break;
    case 10: Raise(OnDisplayDevice, this, static_cast<TDSMPDeviceType>(Value)); break;
    case 11: Raise(OnDisplayTimer, this, Value); break;
    case 12: Raise(OnDisplayCaption, this); break;
    case 13: Raise(OnChangeVolume, this, Value); break;
    case 14: Raise(OnOpenTrack, this, Value); break;
    case 15: Raise(OnCloseTrack, this, Value); break;
    case 16:
      FLyricsList->Clear();
      Raise(OnLoadLyrics, this);
      break;
    case 17: Raise(OnSaveDSMPini, this); break;
    case 18: Raise(OnDesign, this); break;
    case 21: Raise(OnChangePlayList, this, Value); break;
    case 22:
      if (OnDisplayMenu) {
        if (TDSMPMenu* entry = GetMenu(Value)) {
          // Keep the entry alive through the handler.
          std::shared_ptr<TDSMPMenu> hold;
          for (const auto& e : FMenuList) {
            if (e.get() == entry) hold = e;
          }
          Raise(OnDisplayMenu, entry);
        }
      }
      break;
    case 25: Raise(OnClick, this, Value); break;
    case 26: Raise(OnDblClick, this, Value); break;
    case 27: NotifyDeleteMenu(Value); break;
    case 28: Raise(OnChangeDisplayMode, this, static_cast<TDSMPDisplayMode>(Value)); break;
    case 30: {
      const auto v = static_cast<std::uint32_t>(Value);
      Raise(OnMoved, this, static_cast<int>(static_cast<std::int16_t>(v & 0xFFFF)),
            static_cast<int>(static_cast<std::int16_t>(v >> 16)));
      break;
    }
    case 31: Raise(OnAdjustLevel, this, Value); break;
    default: break;
  }
}

// ---- Menu entries ----

TDSMPMenu* TDSMP::GetMenu(long MenuId) {
  if (MenuId == 0) return nullptr;
  for (const auto* builtIn : {&FMenu4000, &FMenu5000, &FMenu9000, &FMenu8000}) {
    if ((*builtIn)->MenuId == MenuId) return builtIn->get();
  }
  for (const auto& e : FMenuList) {
    if (e->MenuId == MenuId) return e.get();
  }
  FMenuList.push_back(std::make_shared<TDSMPMenu>(this, static_cast<std::int32_t>(MenuId)));
  return FMenuList.back().get();
}

TDSMPMenu* TDSMP::RemoveMenu(TDSMPMenu* Menu) {
  if (!Menu) {
    if (FMenuList.empty()) return nullptr;
    auto first = FMenuList.front();
    FMenuList.erase(FMenuList.begin());
    DestroyMenuEntry(first);
    return nullptr;
  }
  for (auto it = FMenuList.begin(); it != FMenuList.end(); ++it) {
    if (it->get() == Menu) {
      // Taken out, not destroyed: the component still owns it.
      FRemovedMenus.push_back(*it);
      FMenuList.erase(it);
      return Menu;
    }
  }
  return nullptr;
}

void TDSMP::DeleteMenu(TDSMPMenu* Menu) {
  if (!RemoveMenu(Menu) || !Menu) return;
  for (auto it = FRemovedMenus.begin(); it != FRemovedMenus.end(); ++it) {
    if (it->get() == Menu) {
      auto entry = *it;
      FRemovedMenus.erase(it);
      DestroyMenuEntry(entry);
      return;
    }
  }
}

void TDSMP::ClearMenuList() {
  std::vector<std::shared_ptr<TDSMPMenu>> entries;
  entries.swap(FMenuList);
  for (const auto& e : entries) DestroyMenuEntry(e);
}

void TDSMP::DestroyMenuEntry(const std::shared_ptr<TDSMPMenu>& entry) {
  if (!entry || !entry->Inserted) return;
  auto it = std::find(FMenuList.begin(), FMenuList.end(), entry);
  if (it != FMenuList.end()) FMenuList.erase(it);
  if (FBound) {
    std::vector<Value> out;
    CallSlot(Intf::Menu, contract::menu::DeleteMenuItem, {Value::Long(entry->MenuId)}, {}, out);
  }
}

void TDSMP::NotifyMenu(int MenuId) {
  TDSMPMenu* raw = GetMenu(MenuId);
  std::shared_ptr<TDSMPMenu> entry;
  for (const auto* builtIn : {&FMenu4000, &FMenu5000, &FMenu9000, &FMenu8000}) {
    if (builtIn->get() == raw) entry = *builtIn;
  }
  for (const auto& e : FMenuList) {
    if (e.get() == raw) entry = e;
  }
  // `entry` keeps the object alive even if a handler clears the list.
  if (entry && entry->OnSelect) {
    auto handler = entry->OnSelect;
    handler(entry.get());
  }
  Raise(OnMenu, entry.get());
}

void TDSMP::NotifyDeleteMenu(int MenuId) {
  std::vector<std::shared_ptr<TDSMPMenu>> gone;
  for (auto it = FMenuList.begin(); it != FMenuList.end();) {
    if ((*it)->MenuId == MenuId) {
      gone.push_back(*it);
      it = FMenuList.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& e : gone) DestroyMenuEntry(e);
}

// ---- Tool entries ----

std::string TDSMP::PlayerIniPath() const {
  if (FDSMPPath.empty()) return {};
  std::filesystem::path p(FDSMPPath);
  p.replace_extension(".ini");
  return p.string();
}

bool TDSMP::ToolExists(const std::string& Name) {
  const std::string path = PlayerIniPath();
  if (path.empty()) return false;
  const auto keys = inifile::Profile(path).ReadSection("Tool");
  if (!keys) return false;
  for (const auto& [key, value] : *keys) {
    if (EqualNoCase(key, Name)) return true;
  }
  return false;
}

void TDSMP::SetTool(const std::string& Name, const std::string& Value) {
  const std::string path = PlayerIniPath();
  if (!path.empty()) {
    inifile::Profile ini(path);
    if (!ini.WriteString("Tool", Name, Value))
      FServices.MessageBox(shell::MsgIcon::Error, ini.LastError());
  }
  Post(static_cast<int>(FDSMPMessage), contract::kToolsChanged, 0);
}

void TDSMP::DeleteTool(const std::string& Name) {
  const std::string path = PlayerIniPath();
  // Nothing to delete from a settings file that does not exist.
  std::error_code ec;
  if (!path.empty() && std::filesystem::exists(path, ec)) {
    inifile::Profile ini(path);
    if (!ini.DeleteKey("Tool", Name)) FServices.MessageBox(shell::MsgIcon::Error, ini.LastError());
  }
  Post(static_cast<int>(FDSMPMessage), contract::kToolsChanged, 0);
}

}  // namespace sl::player
