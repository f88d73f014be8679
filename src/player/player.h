// The player link: PlayerLink binds this program to the DSMP media player, a
// separate process, through the local IPC (window messages and object
// interfaces). It finds or starts the player, checks its version, receives
// its notifications and raises one event per kind, offers the player's
// properties and commands, and reads and writes the tracks of its play list.
//
// Text inside the program is UTF-8; it crosses to the player as UTF-16.
//
// Every call into the player waits at most the IPC time-out and runs the
// message pump while it waits, so notifications (and the handlers they run)
// may arrive in the middle of any operation. The component stays consistent
// when a handler binds, unbinds or runs another operation from there; a
// player that hangs, exits or answers garbage during a call fails that call
// and leaves the component unbound (LinkLost() then tells so).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ipc/ipc.h"
#include "shell/services.h"

namespace sl::player {

using HWND = ipc::Handle;
using HResult = ipc::HResult;

// The error a "Yes" in the property-read failure prompt raises.
class PlayerCallError : public std::runtime_error {
 public:
  PlayerCallError(const std::string& message, HResult code) : std::runtime_error(message), ErrorCode(code) {}
  HResult ErrorCode;
};

// The optional high-rate notification kinds.
enum HighRateNotification { evVolume, evSpeana, evLyrics, evCounter, evPosition, evTimer, evMove };
// A set of HighRateNotification values: bit k stands for ordinal k.
struct HighRateNotifications {
  std::uint8_t bits = 0;
  bool Contains(HighRateNotification e) const { return (bits >> e) & 1u; }
  HighRateNotifications& Include(HighRateNotification e) {
    bits = static_cast<std::uint8_t>(bits | (1u << e));
    return *this;
  }
  static HighRateNotifications All() { return HighRateNotifications{0x7F}; }
  friend bool operator==(HighRateNotifications, HighRateNotifications) = default;
};

// Values the player defines; passed through unchanged.
enum class PlayerDeviceType : std::int32_t {};
enum class PlayerDisplayMode : std::int32_t {};

// A font as the player describes it.
struct PlayerFont {
  std::string Name = "MS Sans Serif";
  int Charset = 1;   // default character set
  int Height = -11;  // pixels; negative: character height without leading
  int Size = 8;      // points
  bool Bold = false, Italic = false, Underline = false, StrikeOut = false;
  std::int32_t Color = static_cast<std::int32_t>(0x80000008);  // window text colour
  // Setting one of height and size sets the other (96 pixels per inch).
  void SetHeight(int h);
  void SetSize(int s);
};

// One text line of the player with its font.
struct PlayerTextLine {
  PlayerFont Font;
  std::int32_t LineIndex = -1;
  std::string Text;
  std::uint8_t Value1 = 2;
  bool Flag1 = true;
  bool Flag2 = false;
  std::int32_t Value2 = 0;
};

class PlayerLink;

// A menu item of the player, known by its id.
class PlayerMenuItem {
 public:
  PlayerMenuItem(PlayerLink* Owner, std::int32_t MenuId) : Owner(Owner), MenuId(MenuId) {}
  PlayerLink* Owner;
  std::int32_t MenuId;
  std::function<void(PlayerMenuItem* Sender)> OnSelect;
  bool Inserted = false;
};

// The cache of the player's lyrics lines, one slot per line.
class LyricsCache {
 public:
  explicit LyricsCache(PlayerLink* owner) : owner_(owner) {}
  int Count() const { return static_cast<int>(lines_.size()); }
  // Line `line` (0-based) from the player through the cache; null when the
  // line does not exist or the component is not bound.
  PlayerTextLine* Get(int line);
  void Clear() { lines_.clear(); }

 private:
  PlayerLink* owner_;
  std::vector<std::unique_ptr<PlayerTextLine>> lines_;
};

// One track of the player's play list.
struct PlayListTrack {
  std::string Title;
  std::string Artist;
  std::string FileName;
  std::string opaqueText1;
  std::string opaqueText2;
  std::int32_t opaqueValue1 = 0;
  std::int32_t opaqueValue2 = 0;
  std::int32_t opaqueValue3 = 0;
  std::int32_t Kind = 0;
  std::int32_t Drive = 0;
  std::int32_t CDTrack = 0;
  std::int32_t opaqueValue4 = 0;
  std::int32_t opaqueValue5 = 0;
  friend bool operator==(const PlayListTrack&, const PlayListTrack&) = default;
};

// The play list as the component hands it out.
class PlayList {
 public:
  explicit PlayList(PlayerLink* owner) : owner_(owner) {}
  int Tracks();
  std::string PlayListTitle();
  void SetPlayListTitle(const std::string& title);
  std::string PlayListName();
  void Save(const std::string& fileName);

 private:
  PlayerLink* owner_;
};

// How a component is created. The host's command line is read from the
// process when `arguments` is not given.
inline constexpr int kDefaultPlayerStartMs = 10000;

// What the link reports to its host while binding and writing the player's
// settings file; the host decides how each is shown.
enum class PlayerEvent {
  CreateFailed,        // the player's control object could not be created (`code`)
  InterfaceFailed,     // the player lacks one of the interfaces (`name`, `code`)
  VersionUnsupported,  // the player is too old for this program
  CallFailed,          // a failed read the user chose to stop at (`detail`: the question's text)
  SettingsNotSaved,    // the player's settings file refused a write (`detail`: why)
};
inline constexpr int kPlayerEventCount = static_cast<int>(PlayerEvent::SettingsNotSaved) + 1;

struct PlayerReport {
  PlayerEvent event = PlayerEvent::CreateFailed;
  std::string name;        // the interface asked for
  std::uint32_t code = 0;  // the failure code
  std::string detail;
};

// A read from the player that failed: the slot's name, its failure code and
// the system's text for the code (empty when there is none).
struct FailedRead {
  std::string call;
  HResult code = 0;
  std::string reason;
};
// The user's answer to a failed read, and the text the user was asked: a
// "Yes" stops the operation with that text as the error's message.
struct FailedReadAnswer {
  shell::MsgAnswer answer = shell::MsgAnswer::No;
  std::string asked;
};

struct PlayerHooks {
  // Hears every PlayerEvent; unset, they are dropped.
  std::function<void(const PlayerReport&)> report;
  // Asks whether to stop, go on or debug after a failed read; unset, the
  // link goes on.
  std::function<FailedReadAnswer(const FailedRead&)> askOnFailedRead;
};

struct PlayerLinkOptions {
  bool designing = false;
  bool loading = false;
  std::optional<std::vector<std::string>> arguments;
  // How long a started player may take to show its window (the configured
  // SONOLABEL_DSMP_START_MS).
  int startTimeoutMs = kDefaultPlayerStartMs;
  // How failures are reported and the failed-read question asked.
  PlayerHooks hooks;
};

class PlayerLink {
 public:
  // Event handler shapes.
  using TNotifyEvent = std::function<void(PlayerLink* Sender)>;
  using TMenuEvent = std::function<void(PlayerMenuItem* Sender)>;
  using TParamEvent = std::function<void(PlayerLink* Sender, int Param)>;
  using TCodeEvent = std::function<void(PlayerLink* Sender, std::uint32_t Event, int Param)>;
  using TLeftRightEvent = std::function<void(PlayerLink* Sender, int Left, int Right)>;
  using TLevelEvent = std::function<void(PlayerLink* Sender, int* Level)>;
  using TFlagEvent = std::function<void(PlayerLink* Sender, bool Flag)>;
  using TDeviceEvent = std::function<void(PlayerLink* Sender, PlayerDeviceType Device)>;
  using TModeEvent = std::function<void(PlayerLink* Sender, PlayerDisplayMode Mode)>;

  // Registers "WM_DSMP", reads the player's path, creates the message window
  // and (unless designing) finds the player and announces the window to
  // every top-level window.
  explicit PlayerLink(shell::ShellServices& services, PlayerLinkOptions options = {});
  // Unbinds without raising events, then destroys the message window.
  virtual ~PlayerLink();
  PlayerLink(const PlayerLink&) = delete;
  PlayerLink& operator=(const PlayerLink&) = delete;

  // After streaming: binds when AutoLink is set and the player runs.
  virtual void Loaded();
  virtual std::int32_t WndProc(std::uint32_t Msg, std::uint32_t WParam, std::int32_t LParam);
  virtual void DSMPHandler(std::uint32_t Event, int Param);

  // ---- Binding ----
  void Bind();
  void Unbind();
  bool Bound() const { return bound_; }
  bool AutoLink() const { return autoLink_; }
  void SetAutoLink(bool Value);
  // True once a call failed because the player hung, exited or answered
  // garbage; cleared by the next Bind.
  bool LinkLost() const { return linkLost_; }

  HWND GetDSMPHandle();
  bool Post(int Msg, int WParam, int LParam);
  int Request(int Msg, int WParam, int LParam);
  bool Execute(const std::string& Params);

  void Close();
  void Abort();
  void ShutDown();
  int GetVersion();
  bool CheckVersion(int Version);
  bool IsPlugin();

  std::uint32_t GetEvent();
  void SetEvent(std::uint32_t Mask);
  HighRateNotifications GetEvents();
  void SetEvents(HighRateNotifications Set);
  void NotifyEvent(HWND Window, std::uint32_t Event, int Param);

  // Notification handlers, one per kind.
  void NotifyUser(std::uint32_t Event, int Param);
  void NotifyOpen(int Param);
  void NotifyClose(int Param);
  void NotifyRun(int Param);
  void NotifyAbort();
  void NotifyPlayStatus(int Param);
  void NotifyVolume(int Param);
  void NotifySpeana(std::uint32_t WParam, int LParam);
  void NotifyLyrics(int Param);
  void NotifyCounter(int Param);
  void NotifyPosition(int Param);
  void NotifyTimer(int Param);
  void NotifyMove(int Param);
  void NotifyButton(std::uint32_t Event, int Param);
  void NotifyMenu(int MenuId);
  void NotifyStatus(std::uint32_t Kind, int Value);
  void NotifyDeleteMenu(int MenuId);

  // ---- Menu entries ----
  PlayerMenuItem* GetMenu(long MenuId);
  PlayerMenuItem* RemoveMenu(PlayerMenuItem* Menu);
  void DeleteMenu(PlayerMenuItem* Menu);
  void ClearMenuList();
  int MenuListCount() const { return static_cast<int>(menuItems_.size()); }

  // ---- Tool entries in the player's settings file ----
  bool ToolExists(const std::string& Name);
  void SetTool(const std::string& Name, const std::string& Value);
  void DeleteTool(const std::string& Name);
  // The player's settings file: its program path with the extension ".ini".
  std::string PlayerIniPath() const;
  const std::string& DSMPPath() const { return playerPath_; }
  HWND WindowHandle() const { return messageWindow_; }
  HWND DSMPHandle() const { return playerWindow_; }
  int RunCode() const { return runCode_; }
  bool Aborting() const { return aborting_; }
  std::uint32_t DSMPMessage() const { return playerMessage_; }

  // ---- Properties and commands ----
  int GetLeft();
  void SetLeft(int v);
  int GetTop();
  void SetTop(int v);
  int GetWidth();
  int GetHeight();
  bool GetVisible();
  void SetVisible(bool v);
  int GetPlayStatus();
  int GetTrack();
  void SetTrack(int v);
  int GetPosition();
  void SetPosition(int v);
  int GetLength();
  int GetVolume();
  void SetVolume(int v);
  int GetCounter();
  void SetCounter(int v);
  bool GetRepeat();
  void SetRepeat(bool v);
  bool GetRandom();
  void SetRandom(bool v);
  bool GetRemainTime();
  void SetRemainTime(bool v);
  std::string GetDesign();
  void SetDesign(const std::string& v);
  PlayerDisplayMode GetDisplayMode();
  void SetDisplayMode(PlayerDisplayMode v);
  bool GetOnTimer();
  void SetOnTimer(bool v);
  int GetOnTime();
  void SetOnTime(int v);
  bool GetOffTimer();
  void SetOffTimer(bool v);
  int GetOffTime();
  void SetOffTime(int v);
  bool GetShutDownRecord();
  void SetShutDownRecord(bool v);
  int GetRecLevel();
  void SetRecLevel(int v);
  int GetRate();
  void SetRate(int v);
  int GetAdjustVolLevel();
  void SetAdjustVolLevel(int v);
  int GetAdjustSpeanaLevel();
  void SetAdjustSpeanaLevel(int v);

  void Stop();
  void Pause();
  void Play();
  void FF(bool On);
  void Rewind(bool On);
  void Next();
  void Back();
  void Eject();
  void Seek(int A, int B);
  void ShowPlayList();
  void ShowProperty();
  void ShowMenu();
  void ShowToolMenu();
  void Click(int Value);
  // Shift-state bits: shift 0x01, alt 0x02, ctrl 0x04, left 0x08, right
  // 0x10, middle 0x20, double click 0x40.
  void KeyDown(unsigned short Key, std::uint8_t Shift);
  void SaveDSMPini();
  void GetFormImage(const std::string& Name);

  void GetVolumes(int* Left, int* Right);
  void GetSpeana(int* Level);  // ten levels
  int GetColor(int Index);
  PlayerFont* GetFont(int Index);
  PlayerTextLine* GetText();
  PlayerTextLine* GetLyricsText(int Line);
  LyricsCache* LyricsList() { return lyricsCache_.get(); }
  // Number of lyrics lines the player has (0 when not bound).
  int GetLyricsLines();

  // ---- Play list ----
  PlayList* GetPlayList() { return playList_.get(); }
  int GetTracks();
  std::string GetPlayListTitle();
  void SetPlayListTitle(const std::string& Title);
  std::string GetPlayListName();
  PlayListTrack GetTrackInfo(int Track);
  void SetTrackInfo(int Track, const PlayListTrack& Info);
  // As GetTrackInfo and SetTrackInfo, with the call's result code, so that a
  // caller can tell a track the link could not carry (kBadData: a string
  // over kMaxStringUnits) or the player refused from an empty one. Unbound:
  // kDisconnected, and `Info` (read) is the empty record.
  HResult ReadTrackInfo(int Track, PlayListTrack& Info);
  HResult WriteTrackInfo(int Track, const PlayListTrack& Info);
  // As SetPlayListTitle, with the call's result code.
  HResult WritePlayListTitle(const std::string& Title);
  void New();
  void Add(const std::string& FileName);
  void Load(const std::string& FileName);
  void Save(const std::string& FileName);

  // ---- Events ----
  TNotifyEvent OnOpen, OnClose, OnRun, OnAbort, OnBind, OnUnbind, OnDisplayCaption, OnSaveDSMPini, OnDesign,
      OnLoadLyrics;
  TMenuEvent OnMenu, OnDisplayMenu;
  TParamEvent OnPlayStatus, OnLyrics, OnCounter, OnPosition, OnIntTimer, OnChangeVolume, OnDisplayTrack,
      OnDisplayTitle, OnDisplayTimer, OnOpenTrack, OnCloseTrack, OnClick, OnDblClick, OnChangePlayList,
      OnAdjustLevel;
  TCodeEvent OnDSMP, OnButton, OnStatus, OnUser;
  TLeftRightEvent OnVolume, OnMove, OnMoved;
  TLevelEvent OnSpeana;
  TFlagEvent OnVisible, OnActive, OnMinimize, OnStayOnTop, OnRepeat, OnRandom, OnDisplayTime;
  TDeviceEvent OnDisplayDevice;
  TModeEvent OnChangeDisplayMode;

  // Bounds on counts the player reports.
  static constexpr int kMaxTracks = 65535;
  static constexpr int kMaxLyricsLines = 65535;

 private:
  friend class LyricsCache;

  enum class Intf { Control, PlayList, Lyrics, Menu };
  HResult CallSlot(Intf which, int slot, const std::vector<ipc::Value>& in,
                   std::span<const ipc::ValueType> outTypes, std::vector<ipc::Value>& out);
  // A read through a get_ slot: the failure prompt on a failure code.
  void HrCheck(HResult hr, const char* what);
  std::int32_t ReadLong(int slot, const char* what, std::int32_t unbound);
  void WriteLong(int slot, std::int32_t value);
  void Command(int slot, const std::vector<ipc::Value>& in = {});
  static void SetFontFrom(PlayerFont& font, const std::vector<ipc::Value>& v, std::size_t at);
  void LoseLink();
  // Creates the player's control object and takes its four interfaces;
  // false, with the failure reported, when one is missing.
  bool ConnectInterfaces();
  void DestroyMenuEntry(const std::shared_ptr<PlayerMenuItem>& entry);
  void Report(const PlayerReport& report) const {
    if (options_.hooks.report) options_.hooks.report(report);
  }
  // The beep, then the report: how a failure to bind is announced.
  void ReportBindFailure(const PlayerReport& report) {
    services_.Beep();
    Report(report);
  }
  // Reports that the player's settings file refused a write (`why`).
  void ReportSettingsNotSaved(const std::string& why) const {
    Report({PlayerEvent::SettingsNotSaved, {}, 0, why});
  }

  shell::ShellServices& services_;
  PlayerLinkOptions options_;
  std::uint32_t playerMessage_ = 0;
  ipc::Interface controlInterface_, playListInterface_, lyricsInterface_, menuInterface_;
  HWND playerWindow_ = 0;
  std::string playerPath_;
  int runCode_ = 0;
  std::uint8_t pluginState_ = 0;
  HWND messageWindow_ = 0;
  bool bound_ = false;
  bool aborting_ = false;
  bool autoLink_ = true;
  std::uint32_t notificationMask_ = 0xEFFFF81F;
  std::unique_ptr<PlayerTextLine> textLine_;
  std::unique_ptr<LyricsCache> lyricsCache_;
  std::unique_ptr<PlayList> playList_;
  std::shared_ptr<PlayerMenuItem> menuItem4000_, menuItem5000_, menuItem9000_, menuItem8000_;
  std::vector<std::shared_ptr<PlayerMenuItem>> menuItems_;
  // Entries taken out of the list but not destroyed: still the component's.
  std::vector<std::shared_ptr<PlayerMenuItem>> removedMenuItems_;
  PlayerFont font_;
  // Guards against re-entrance through the message pump.
  bool binding_ = false;
  bool unbinding_ = false;
  bool destroying_ = false;
  bool linkLost_ = false;
  // Bumped by every unbind and by Close and Abort notifications, so a Bind
  // whose calls pumped such a notification gives up.
  std::uint64_t epoch_ = 0;
};

// Whether the link carries `text` (UTF-8) as one string: at most
// kMaxStringUnits UTF-16 code units.
bool FitsOnLink(const std::string& text);

// Fills Drive and CDTrack of an audio-CD track (Kind 16 or 17) from its
// file name when either is 0, as GetTrackInfo does.
void CompleteCdTrack(PlayListTrack& info);

// A track's record as IDSMPPlayList::GetTrackInfo and SetTrackInfo carry it:
// title, artist, file name, two extra texts, three extra values, kind, drive
// and CD track packed in one long (drive in the high 16 bits), two more
// extra values.
inline constexpr ipc::ValueType kTrackInfoTypes[12] = {
    ipc::ValueType::String, ipc::ValueType::String, ipc::ValueType::String, ipc::ValueType::String,
    ipc::ValueType::String, ipc::ValueType::Long,   ipc::ValueType::Long,   ipc::ValueType::Long,
    ipc::ValueType::Long,   ipc::ValueType::Long,   ipc::ValueType::Long,   ipc::ValueType::Long};
// The record the player's out-values describe (an empty one unless they are
// the twelve above), completed by CompleteCdTrack.
PlayListTrack TrackInfoFromValues(const std::vector<ipc::Value>& values);
// The twelve values that write `info` back (after the track number).
std::vector<ipc::Value> TrackInfoValues(const PlayListTrack& info);

}  // namespace sl::player
