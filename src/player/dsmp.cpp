// PlayerLink: construction, finding and starting the player, binding, the
// notifications and their events, the mask, menu and tool entries.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "inifile/profile.h"
#include "platform/scoped_flag.h"
#include "player/contract.h"
#include "player/link_internal.h"
#include "player/player.h"

namespace sl::player {

using detail::EqualNoCase;
using detail::Raise;
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

bool DebuggerAttached() {
  std::ifstream in("/proc/self/status");
  std::string line;
  for (int i = 0; i < 64 && std::getline(in, line); ++i) {
    if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
  }
  return false;
}

}  // namespace

// ---- Construction and destruction ----

PlayerLink::PlayerLink(shell::ShellServices& services, PlayerLinkOptions options)
    : services_(services), options_(std::move(options)), textLine_(std::make_unique<PlayerTextLine>()) {
  autoLink_ = true;
  lyricsCache_ = std::make_unique<LyricsCache>(this);
  playList_ = std::make_unique<PlayList>(this);
  menuItem4000_ = std::make_shared<PlayerMenuItem>(this, 0x4000);
  menuItem5000_ = std::make_shared<PlayerMenuItem>(this, 0x5000);
  menuItem9000_ = std::make_shared<PlayerMenuItem>(this, 0x9000);
  menuItem8000_ = std::make_shared<PlayerMenuItem>(this, 0x8000);
  notificationMask_ = contract::kDefaultMask;
  playerMessage_ = ipc::RegisterWindowMessage(contract::kMessageName);
  if (auto path =
          ipc::ReadRegistryDefault(ipc::RegistryRoot::LocalMachine,
                                   "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\DSMP.EXE")) {
    playerPath_ = *path;
  }
  if (playerPath_.empty()) {
    if (auto path = ipc::ReadRegistryDefault(ipc::RegistryRoot::CurrentUser, "Software\\DELTA\\DSMP"))
      playerPath_ = *path;
  }
  messageWindow_ = ipc::CreateMessageWindow(
      [this](std::uint32_t msg, std::uint32_t wp, std::int32_t lp) { return WndProc(msg, wp, lp); });
  if (!options_.designing) {
    GetDSMPHandle();
    ipc::PostMessage(ipc::kBroadcast, playerMessage_, contract::kAnnounceWindow,
                     static_cast<std::int32_t>(messageWindow_));
  }
}

PlayerLink::~PlayerLink() {
  // Handlers belong to a host that is going away: none runs from here.
  destroying_ = true;
  OnOpen = OnClose = OnRun = OnAbort = OnBind = OnUnbind = nullptr;
  OnDSMP = OnUser = OnStatus = OnButton = nullptr;
  try {
    Unbind();
  } catch (...) {
  }
  ipc::DestroyWindow(messageWindow_);
  menuItems_.clear();
}

void PlayerLink::Loaded() {
  options_.loading = false;
  if (!bound_ && autoLink_ && GetDSMPHandle() != 0) Bind();
}

void PlayerLink::SetAutoLink(bool Value) {
  autoLink_ = Value;
  if (Value && !bound_ && !options_.designing && !options_.loading && GetDSMPHandle() != 0) Bind();
}

// ---- Finding, posting, starting ----

HWND PlayerLink::GetDSMPHandle() {
  playerWindow_ = ipc::FindWindow(contract::kMainClass);
  if (playerWindow_ == 0) playerWindow_ = ipc::FindWindow(contract::kOtherMainClass);
  return playerWindow_;
}

bool PlayerLink::Post(int Msg, int WParam, int LParam) {
  if (playerWindow_ == 0 && GetDSMPHandle() == 0) return false;
  if (ipc::PostMessage(playerWindow_, static_cast<std::uint32_t>(Msg), static_cast<std::uint32_t>(WParam),
                       LParam))
    return true;
  // A stale handle: find the window again and try once more.
  GetDSMPHandle();
  return playerWindow_ != 0 && ipc::PostMessage(playerWindow_, static_cast<std::uint32_t>(Msg),
                                                static_cast<std::uint32_t>(WParam), LParam);
}

int PlayerLink::Request(int Msg, int WParam, int LParam) {
  if (GetDSMPHandle() == 0) return 0;
  const auto r = ipc::SendMessageTimeout(playerWindow_, static_cast<std::uint32_t>(Msg),
                                         static_cast<std::uint32_t>(WParam), LParam, ipc::TimeoutMs());
  return r ? *r : 0;
}

bool PlayerLink::Execute(const std::string& Params) {
  if (playerPath_.empty()) return false;
  const std::string folder = std::filesystem::path(playerPath_).parent_path().string();
  const pid_t pid = ipc::StartProcess(playerPath_, Params, folder);
  if (pid < 0) return false;
  // The player counts as started once it shows its main window; one that
  // does not within the bound counts as not started, and is ended: it is
  // our child, nobody will talk to it, and every retry would start another.
  if (ipc::WaitForInputIdle(pid, StartTimeoutMs(options_.startTimeoutMs))) return true;
  ipc::EndProcess(pid);
  return false;
}

// ---- Calls ----

HResult PlayerLink::CallSlot(Intf which, int slot, const std::vector<Value>& in,
                             std::span<const ValueType> outTypes, std::vector<Value>& out) {
  out.clear();
  // A copy of the reference: a notification handled while the call waits may
  // unbind and release the holder.
  ipc::Interface intf;
  switch (which) {
    case Intf::Control: intf = controlInterface_; break;
    case Intf::PlayList: intf = playListInterface_; break;
    case Intf::Lyrics: intf = lyricsInterface_; break;
    case Intf::Menu: intf = menuInterface_; break;
  }
  if (!intf.IsBound()) return ipc::kDisconnected;
  const HResult hr = intf.Call(slot, in, outTypes, out);
  // Unregistering from a player that has just gone away fails as expected:
  // only a failure while the link is in use counts as losing it.
  if (ipc::IsLinkFailure(hr) && !unbinding_) LoseLink();
  return hr;
}

void PlayerLink::LoseLink() {
  linkLost_ = true;
  ++epoch_;
  if (bound_) Unbind();
}

void PlayerLink::HrCheck(HResult hr, const char* what) {
  if (!ipc::Failed(hr) || !options_.hooks.askOnFailedRead) return;
  const FailedReadAnswer reply = options_.hooks.askOnFailedRead({what, hr, ipc::ResultText(hr)});
  if (reply.answer == shell::MsgAnswer::Yes) throw PlayerCallError(reply.asked, hr);
  if (reply.answer == shell::MsgAnswer::Cancel && DebuggerAttached()) ::raise(SIGTRAP);
}

std::int32_t PlayerLink::ReadLong(int slot, const char* what, std::int32_t unbound) {
  if (!bound_) return unbound;
  static constexpr ValueType kOut[] = {ValueType::Long};
  std::vector<Value> out;
  const HResult hr = CallSlot(Intf::Control, slot, {}, kOut, out);
  HrCheck(hr, what);
  return out.empty() ? 0 : out[0].number;
}

void PlayerLink::WriteLong(int slot, std::int32_t value) {
  if (!bound_) return;
  std::vector<Value> out;
  CallSlot(Intf::Control, slot, {Value::Long(value)}, {}, out);
}

void PlayerLink::Command(int slot, const std::vector<Value>& in) {
  if (!bound_) return;
  std::vector<Value> out;
  CallSlot(Intf::Control, slot, in, {}, out);
}

// ---- Binding ----

bool PlayerLink::ConnectInterfaces() {
  ipc::Interface unknown;
  HResult hr =
      ipc::CreateInstance(contract::kClsidDSMPControl, contract::kClassContext, ipc::kIUnknown, unknown);
  if (ipc::Failed(hr)) {
    ReportBindFailure({PlayerEvent::CreateFailed, "DSMPControl", static_cast<std::uint32_t>(hr), {}});
    return false;
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
      if (ipc::IsLinkFailure(hr)) linkLost_ = true;
      ReportBindFailure({PlayerEvent::InterfaceFailed, wanted[i].name, static_cast<std::uint32_t>(hr), {}});
      return false;
    }
  }
  controlInterface_ = got[0];
  playListInterface_ = got[1];
  lyricsInterface_ = got[2];
  menuInterface_ = got[3];
  return true;
}

void PlayerLink::Bind() {
  if (bound_ || options_.designing || binding_ || destroying_) return;
  platform::ScopedFlag binding(binding_);
  if (GetDSMPHandle() == 0 && !Execute("")) return;
  linkLost_ = false;
  const std::uint64_t epoch = epoch_;
  // A Close or Abort notification, or a lost link, while one of the calls
  // below waited: the player is going away, stop here.
  auto interrupted = [&] { return linkLost_ || epoch_ != epoch; };
  auto releaseAll = [&] {
    controlInterface_.Release();
    playListInterface_.Release();
    lyricsInterface_.Release();
    menuInterface_.Release();
  };
  try {
    if (!ConnectInterfaces()) return;

    {
      static constexpr ValueType kOut[] = {ValueType::Long};
      std::vector<Value> out;
      const HResult hr = CallSlot(Intf::Control, contract::control::get_Handle, {}, kOut, out);
      HrCheck(hr, "IDSMPControl::get_Handle");
      if (interrupted()) {
        releaseAll();
        return;
      }
      playerWindow_ = out.empty() ? 0 : static_cast<HWND>(out[0].number);
    }
    ClearMenuList();
    bound_ = true;

    const bool accepted = GetVersion() >= contract::kMinVersion && CheckVersion(contract::kClientLevel);
    // Unbound meanwhile (lost link, Close): no version verdict to give.
    if (!bound_ || interrupted()) {
      if (bound_) Unbind();
      return;
    }
    if (accepted) {
      static constexpr ValueType kOut[] = {ValueType::Byte, ValueType::Long};
      std::vector<Value> out;
      CallSlot(Intf::Control, contract::control::RegisterClient,
               {Value::Long(ipc::kModuleInstance), Value::Long(static_cast<std::int32_t>(::getpid())),
                Value::Long(static_cast<std::int32_t>(messageWindow_))},
               kOut, out);
      if (out.size() == 2) {
        pluginState_ = static_cast<std::uint8_t>(out[0].number);
        runCode_ = out[1].number;
      }
      if (!bound_) return;
      SetEvent(notificationMask_);
      if (!bound_) return;
      Raise(OnBind, this);
    } else {
      Unbind();
      ReportBindFailure({PlayerEvent::VersionUnsupported, {}, 0, {}});
    }
  } catch (const PlayerCallError& e) {
    ReportBindFailure({PlayerEvent::CallFailed, {}, static_cast<std::uint32_t>(e.ErrorCode), e.what()});
  }
}

void PlayerLink::Unbind() {
  if (!bound_ || unbinding_) return;
  platform::ScopedFlag unbinding(unbinding_);
  ++epoch_;
  RemoveMenu(nullptr);
  {
    std::vector<Value> out;
    CallSlot(Intf::Control, contract::control::UnregisterClient,
             {Value::Long(static_cast<std::int32_t>(messageWindow_))}, {}, out);
  }
  bound_ = false;
  runCode_ = 0;
  controlInterface_.Release();
  playListInterface_.Release();
  lyricsInterface_.Release();
  menuInterface_.Release();
  ClearMenuList();
  Raise(OnUnbind, this);
}

// ---- Version, plug-in, commands ----

int PlayerLink::GetVersion() {
  return ReadLong(contract::control::get_Version, "IDSMPControl::get_Version", 0);
}

bool PlayerLink::CheckVersion(int Version) {
  if (!bound_) return false;
  std::vector<Value> out;
  return CallSlot(Intf::Control, contract::control::CheckVersion, {Value::Long(Version)}, {}, out) == 0;
}

bool PlayerLink::IsPlugin() {
  if (pluginState_ != 0) return pluginState_ != 1;
  const std::vector<std::string> args = options_.arguments ? *options_.arguments : ProcessArguments();
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (EqualNoCase(args[i], "/PLUGIN")) return true;
  }
  return false;
}

void PlayerLink::Close() { Command(contract::control::Close); }
void PlayerLink::Abort() {
  Command(contract::control::Abort, {Value::Long(static_cast<std::int32_t>(messageWindow_))});
}
void PlayerLink::ShutDown() { Command(contract::control::ShutDown); }

// ---- The notification mask ----

std::uint32_t PlayerLink::GetEvent() {
  if (!bound_) return notificationMask_;
  static constexpr ValueType kOut[] = {ValueType::Long};
  std::vector<Value> out;
  CallSlot(Intf::Control, contract::control::GetEvent,
           {Value::Long(static_cast<std::int32_t>(messageWindow_))}, kOut, out);
  return out.empty() ? 0 : static_cast<std::uint32_t>(out[0].number);
}

void PlayerLink::SetEvent(std::uint32_t Mask) {
  notificationMask_ = Mask;
  if (!bound_) return;
  std::vector<Value> out;
  CallSlot(
      Intf::Control, contract::control::SetEvent,
      {Value::Long(static_cast<std::int32_t>(messageWindow_)), Value::Long(static_cast<std::int32_t>(Mask))},
      {}, out);
}

namespace {
struct EventBit {
  HighRateNotification kind;
  std::uint32_t bit;
};
constexpr EventBit kEventBits[] = {{evVolume, contract::kVolume},     {evSpeana, contract::kSpeana},
                                   {evLyrics, contract::kLyrics},     {evCounter, contract::kCounter},
                                   {evPosition, contract::kPosition}, {evTimer, contract::kTimer},
                                   {evMove, contract::kMove}};
}  // namespace

HighRateNotifications PlayerLink::GetEvents() {
  const std::uint32_t mask = GetEvent();
  HighRateNotifications set;
  for (const auto& e : kEventBits) {
    if (mask & e.bit) set.Include(e.kind);
  }
  return set;
}

void PlayerLink::SetEvents(HighRateNotifications Set) {
  std::uint32_t mask = contract::kDefaultMask;
  for (const auto& e : kEventBits) {
    if (Set.Contains(e.kind)) mask |= e.bit;
  }
  SetEvent(mask);
}

void PlayerLink::NotifyEvent(HWND Window, std::uint32_t Event, int Param) {
  // The order decides: window 0 is posted to only when no player is bound.
  if (Window == messageWindow_) {  // NOLINT(bugprone-branch-clone)
    ipc::PostMessage(messageWindow_, playerMessage_, Event, Param);
  } else if (bound_) {
    std::vector<Value> out;
    CallSlot(Intf::Control, contract::control::NotifyEvent,
             {Value::Long(static_cast<std::int32_t>(Window)), Value::Long(static_cast<std::int32_t>(Event)),
              Value::Long(Param)},
             {}, out);
  } else if (Window == 0) {
    ipc::PostMessage(messageWindow_, playerMessage_, Event, Param);
  }
}

// ---- Notifications ----

std::int32_t PlayerLink::WndProc(std::uint32_t Msg, std::uint32_t WParam, std::int32_t LParam) {
  if (Msg == playerMessage_) {
    if (!destroying_) DSMPHandler(WParam, LParam);
    return 1;
  }
  return 0;  // what the default procedure answers for a message it ignores
}

void PlayerLink::DSMPHandler(std::uint32_t Event, int Param) {
  const std::uint32_t code = contract::CodeOf(Event);
  switch (code) {
    case contract::kOpen: NotifyOpen(Param); break;
    case contract::kClose: NotifyClose(Param); break;
    case contract::kRun: NotifyRun(Param); break;
    case contract::kAbort: NotifyAbort(); break;
    case contract::kUser: NotifyUser(Event & 0xFFFF, Param); break;
    default:
      if (!bound_) break;
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

void PlayerLink::NotifyUser(std::uint32_t Event, int Param) { Raise(OnUser, this, Event, Param); }

void PlayerLink::NotifyOpen(int Param) {
  playerWindow_ = static_cast<HWND>(Param);
  if (!bound_ && autoLink_) Bind();
  Raise(OnOpen, this);
}

void PlayerLink::NotifyClose(int) {
  playerWindow_ = 0;
  ++epoch_;
  Unbind();
  Raise(OnClose, this);
}

void PlayerLink::NotifyRun(int Param) {
  runCode_ = Param;
  Raise(OnRun, this);
}

void PlayerLink::NotifyAbort() {
  {
    platform::ScopedFlag aborting(aborting_);
    Raise(OnAbort, this);
    playerWindow_ = 0;
  }
  ++epoch_;
  Unbind();
}

void PlayerLink::NotifyPlayStatus(int Param) { Raise(OnPlayStatus, this, Param); }
void PlayerLink::NotifyLyrics(int Param) { Raise(OnLyrics, this, Param); }
void PlayerLink::NotifyCounter(int Param) { Raise(OnCounter, this, Param); }
void PlayerLink::NotifyPosition(int Param) { Raise(OnPosition, this, Param); }
void PlayerLink::NotifyTimer(int Param) { Raise(OnIntTimer, this, Param); }

void PlayerLink::NotifyVolume(int Param) {
  const auto v = static_cast<std::uint32_t>(Param);
  Raise(OnVolume, this, static_cast<int>(v & 0xFFFF), static_cast<int>(v >> 16));
}

void PlayerLink::NotifyMove(int Param) {
  const auto v = static_cast<std::uint32_t>(Param);
  Raise(OnMove, this, static_cast<int>(static_cast<std::int16_t>(v & 0xFFFF)),
        static_cast<int>(static_cast<std::int16_t>(v >> 16)));
}

void PlayerLink::NotifySpeana(std::uint32_t WParam, int LParam) {
  if (!OnSpeana) return;
  int level[10];
  const auto l = static_cast<std::uint32_t>(LParam);
  for (int k = 0; k < 8; ++k) level[k] = static_cast<int>((l >> (4 * k)) & 0xF);
  level[8] = static_cast<int>(WParam & 0xF);
  level[9] = static_cast<int>((WParam >> 4) & 0xF);
  Raise(OnSpeana, this, level);
}

void PlayerLink::NotifyButton(std::uint32_t Event, int Param) { Raise(OnButton, this, Event, Param); }

void PlayerLink::NotifyStatus(std::uint32_t Kind, int Value) {
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
    case 10: Raise(OnDisplayDevice, this, static_cast<PlayerDeviceType>(Value)); break;
    case 11: Raise(OnDisplayTimer, this, Value); break;
    case 12: Raise(OnDisplayCaption, this); break;
    case 13: Raise(OnChangeVolume, this, Value); break;
    case 14: Raise(OnOpenTrack, this, Value); break;
    case 15: Raise(OnCloseTrack, this, Value); break;
    case 16:
      lyricsCache_->Clear();
      Raise(OnLoadLyrics, this);
      break;
    case 17: Raise(OnSaveDSMPini, this); break;
    case 18: Raise(OnDesign, this); break;
    case 21: Raise(OnChangePlayList, this, Value); break;
    case 22:
      if (OnDisplayMenu) {
        if (PlayerMenuItem* entry = GetMenu(Value)) {
          // Keep the entry alive through the handler.
          std::shared_ptr<PlayerMenuItem> hold;
          for (const auto& e : menuItems_) {
            if (e.get() == entry) hold = e;
          }
          Raise(OnDisplayMenu, entry);
        }
      }
      break;
    case 25: Raise(OnClick, this, Value); break;
    case 26: Raise(OnDblClick, this, Value); break;
    case 27: NotifyDeleteMenu(Value); break;
    case 28: Raise(OnChangeDisplayMode, this, static_cast<PlayerDisplayMode>(Value)); break;
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

}  // namespace sl::player
