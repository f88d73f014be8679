// The player link: TDSMP binds this program to the DSMP media player, a
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
#include <vector>

#include "ipc/ipc.h"
#include "shell/services.h"

namespace sl::player {

using HWND = ipc::Handle;
using HResult = ipc::HResult;

// The error a "Yes" in the property-read failure prompt raises.
class EOleSysError : public std::runtime_error {
 public:
  EOleSysError(const std::string& message, HResult code) : std::runtime_error(message), ErrorCode(code) {}
  HResult ErrorCode;
};

// The optional high-rate notification kinds.
enum TDSMPEventSet { evVolume, evSpeana, evLyrics, evCounter, evPosition, evTimer, evMove };
// A set of TDSMPEventSet values: bit k stands for ordinal k.
struct TDSMPEvents {
  std::uint8_t bits = 0;
  bool Contains(TDSMPEventSet e) const { return (bits >> e) & 1u; }
  TDSMPEvents& Include(TDSMPEventSet e) {
    bits = static_cast<std::uint8_t>(bits | (1u << e));
    return *this;
  }
  static TDSMPEvents All() { return TDSMPEvents{0x7F}; }
  friend bool operator==(TDSMPEvents, TDSMPEvents) = default;
};

// Values the player defines; passed through unchanged.
enum class TDSMPDeviceType : std::int32_t {};
enum class TDSMPDisplayMode : std::int32_t {};

// A font as the player describes it.
struct TFont {
  std::string Name = "MS Sans Serif";
  int Charset = 1;  // default character set
  int Height = -11; // pixels; negative: character height without leading
  int Size = 8;     // points
  bool Bold = false, Italic = false, Underline = false, StrikeOut = false;
  std::int32_t Color = static_cast<std::int32_t>(0x80000008);  // window text colour
  // Setting one of height and size sets the other (96 pixels per inch).
  void SetHeight(int h);
  void SetSize(int s);
};

// One text line of the player with its font.
struct TLyrics {
  TFont Font;
  std::int32_t LineIndex = -1;
  std::string Text;
  std::uint8_t Value1 = 2;
  bool Flag1 = true;
  bool Flag2 = false;
  std::int32_t Value2 = 0;
};

class TDSMP;

// A menu item of the player, known by its id.
class TDSMPMenu {
 public:
  TDSMPMenu(TDSMP* Owner, std::int32_t MenuId) : Owner(Owner), MenuId(MenuId) {}
  TDSMP* Owner;
  std::int32_t MenuId;
  std::function<void(TDSMPMenu* Sender)> OnSelect;
  bool Inserted = false;
};

// The cache of the player's lyrics lines, one slot per line.
class TLyricsList {
 public:
  explicit TLyricsList(TDSMP* owner) : owner_(owner) {}
  int Count() const { return static_cast<int>(lines_.size()); }
  // Line `line` (0-based) from the player through the cache; null when the
  // line does not exist or the component is not bound.
  TLyrics* Get(int line);
  void Clear() { lines_.clear(); }

 private:
  TDSMP* owner_;
  std::vector<std::unique_ptr<TLyrics>> lines_;
};

// One track of the player's play list.
struct TTrackInfo {
  std::string Title;
  std::string Artist;
  std::string FileName;
  std::string ExtraText1;
  std::string ExtraText2;
  std::int32_t ExtraValue1 = 0;
  std::int32_t ExtraValue2 = 0;
  std::int32_t ExtraValue3 = 0;
  std::int32_t Kind = 0;
  std::int32_t Drive = 0;
  std::int32_t CDTrack = 0;
  std::int32_t ExtraValue4 = 0;
  std::int32_t ExtraValue5 = 0;
  friend bool operator==(const TTrackInfo&, const TTrackInfo&) = default;
};

// The play list as the component hands it out.
class TPlayList {
 public:
  explicit TPlayList(TDSMP* owner) : owner_(owner) {}
  int Tracks();
  std::string PlayListTitle();
  void SetPlayListTitle(const std::string& title);
  std::string PlayListName();
  void Save(const std::string& fileName);

 private:
  TDSMP* owner_;
};

// How a component is created. The host's command line is read from the
// process when `arguments` is not given.
inline constexpr int kDefaultPlayerStartMs = 10000;

struct TDSMPOptions {
  bool designing = false;
  bool loading = false;
  std::optional<std::vector<std::string>> arguments;
  // How long a started player may take to show its window (the configured
  // SONOLABEL_DSMP_START_MS).
  int startTimeoutMs = kDefaultPlayerStartMs;
};

class TDSMP {
 public:
  // Event handler shapes.
  using TNotifyEvent = std::function<void(TDSMP* Sender)>;
  using TMenuEvent = std::function<void(TDSMPMenu* Sender)>;
  using TParamEvent = std::function<void(TDSMP* Sender, int Param)>;
  using TCodeEvent = std::function<void(TDSMP* Sender, std::uint32_t Event, int Param)>;
  using TLeftRightEvent = std::function<void(TDSMP* Sender, int Left, int Right)>;
  using TLevelEvent = std::function<void(TDSMP* Sender, int* Level)>;
  using TFlagEvent = std::function<void(TDSMP* Sender, bool Flag)>;
  using TDeviceEvent = std::function<void(TDSMP* Sender, TDSMPDeviceType Device)>;
  using TModeEvent = std::function<void(TDSMP* Sender, TDSMPDisplayMode Mode)>;

  // Registers "WM_DSMP", reads the player's path, creates the message window
  // and (unless designing) finds the player and announces the window to
  // every top-level window.
  explicit TDSMP(shell::ShellServices& services, TDSMPOptions options = {});
  // Unbinds without raising events, then destroys the message window.
  virtual ~TDSMP();
  TDSMP(const TDSMP&) = delete;
  TDSMP& operator=(const TDSMP&) = delete;

  // After streaming: binds when AutoLink is set and the player runs.
  virtual void Loaded();
  virtual std::int32_t WndProc(std::uint32_t Msg, std::uint32_t WParam, std::int32_t LParam);
  virtual void DSMPHandler(std::uint32_t Event, int Param);

  // ---- Binding ----
  void Bind();
  void Unbind();
  bool Bound() const { return FBound; }
  bool AutoLink() const { return FAutoLink; }
  void SetAutoLink(bool Value);
  // True once a call failed because the player hung, exited or answered
  // garbage; cleared by the next Bind.
  bool LinkLost() const { return FLinkLost; }

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
  TDSMPEvents GetEvents();
  void SetEvents(TDSMPEvents Set);
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
  TDSMPMenu* GetMenu(long MenuId);
  TDSMPMenu* RemoveMenu(TDSMPMenu* Menu);
  void DeleteMenu(TDSMPMenu* Menu);
  void ClearMenuList();
  int MenuListCount() const { return static_cast<int>(FMenuList.size()); }

  // ---- Tool entries in the player's settings file ----
  bool ToolExists(const std::string& Name);
  void SetTool(const std::string& Name, const std::string& Value);
  void DeleteTool(const std::string& Name);
  // The player's settings file: its program path with the extension ".ini".
  std::string PlayerIniPath() const;
  const std::string& DSMPPath() const { return FDSMPPath; }
  HWND WindowHandle() const { return FWindowHandle; }
  HWND DSMPHandle() const { return FDSMPHandle; }
  int RunCode() const { return FRunCode; }
  bool Aborting() const { return FAborting; }
  std::uint32_t DSMPMessage() const { return FDSMPMessage; }

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
  TDSMPDisplayMode GetDisplayMode();
  void SetDisplayMode(TDSMPDisplayMode v);
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
  TFont* GetFont(int Index);
  TLyrics* GetText();
  TLyrics* GetLyricsText(int Line);
  TLyricsList* LyricsList() { return FLyricsList.get(); }
  // Number of lyrics lines the player has (0 when not bound).
  int GetLyricsLines();

  // ---- Play list ----
  TPlayList* GetPlayList() { return FPlayList.get(); }
  int GetTracks();
  std::string GetPlayListTitle();
  void SetPlayListTitle(const std::string& Title);
  std::string GetPlayListName();
  TTrackInfo GetTrackInfo(int Track);
  void SetTrackInfo(int Track, const TTrackInfo& Info);
  // As GetTrackInfo and SetTrackInfo, with the call's result code, so that a
  // caller can tell a track the link could not carry (kBadData: a string
  // over kMaxStringUnits) or the player refused from an empty one. Unbound:
  // kDisconnected, and `Info` (read) is the empty record.
  HResult ReadTrackInfo(int Track, TTrackInfo& Info);
  HResult WriteTrackInfo(int Track, const TTrackInfo& Info);
  // As SetPlayListTitle, with the call's result code.
  HResult WritePlayListTitle(const std::string& Title);
  void New();
  void Add(const std::string& FileName);
  void Load(const std::string& FileName);
  void Save(const std::string& FileName);

  // ---- Events ----
  TNotifyEvent OnOpen, OnClose, OnRun, OnAbort, OnBind, OnUnbind, OnDisplayCaption, OnSaveDSMPini,
      OnDesign, OnLoadLyrics;
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
  friend class TLyricsList;

  enum class Intf { Control, PlayList, Lyrics, Menu };
  HResult CallSlot(Intf which, int slot, const std::vector<ipc::Value>& in,
                   std::span<const ipc::ValueType> outTypes, std::vector<ipc::Value>& out);
  // A read through a get_ slot: the failure prompt on a failure code.
  void HrCheck(HResult hr, const char* what);
  std::int32_t ReadLong(int slot, const char* what, std::int32_t unbound);
  void WriteLong(int slot, std::int32_t value);
  void Command(int slot, const std::vector<ipc::Value>& in = {});
  static void SetFontFrom(TFont& font, const std::vector<ipc::Value>& v, std::size_t at);
  void LoseLink();
  void DestroyMenuEntry(const std::shared_ptr<TDSMPMenu>& entry);

  shell::ShellServices& FServices;
  TDSMPOptions FOptions;
  std::uint32_t FDSMPMessage = 0;
  ipc::Interface FControl, FPlayListIntf, FLyricsIntf, FMenuIntf;
  HWND FDSMPHandle = 0;
  std::string FDSMPPath;
  int FRunCode = 0;
  std::uint8_t FPluginState = 0;
  HWND FWindowHandle = 0;
  bool FBound = false;
  bool FAborting = false;
  bool FAutoLink = true;
  std::uint32_t FEvent = 0xEFFFF81F;
  std::unique_ptr<TLyrics> FText;
  std::unique_ptr<TLyricsList> FLyricsList;
  std::unique_ptr<TPlayList> FPlayList;
  std::shared_ptr<TDSMPMenu> FMenu4000, FMenu5000, FMenu9000, FMenu8000;
  std::vector<std::shared_ptr<TDSMPMenu>> FMenuList;
  // Entries taken out of the list but not destroyed: still the component's.
  std::vector<std::shared_ptr<TDSMPMenu>> FRemovedMenus;
  TFont FFont;
  // Guards against re-entrance through the message pump.
  bool FBinding = false;
  bool FUnbinding = false;
  bool FDestroying = false;
  bool FLinkLost = false;
  // Bumped by every unbind and by Close and Abort notifications, so a Bind
  // whose calls pumped such a notification gives up.
  std::uint64_t FEpoch = 0;
};

// Whether the link carries `text` (UTF-8) as one string: at most
// kMaxStringUnits UTF-16 code units.
bool FitsOnLink(const std::string& text);

// Fills Drive and CDTrack of an audio-CD track (Kind 16 or 17) from its
// file name when either is 0, as GetTrackInfo does.
void CompleteCdTrack(TTrackInfo& info);

// A track's record as IDSMPPlayList::GetTrackInfo and SetTrackInfo carry it:
// title, artist, file name, two extra texts, three extra values, kind, drive
// and CD track packed in one long (drive in the high 16 bits), two more
// extra values.
inline constexpr ipc::ValueType kTrackInfoTypes[12] = {
    ipc::ValueType::String, ipc::ValueType::String, ipc::ValueType::String,
    ipc::ValueType::String, ipc::ValueType::String, ipc::ValueType::Long,
    ipc::ValueType::Long,   ipc::ValueType::Long,   ipc::ValueType::Long,
    ipc::ValueType::Long,   ipc::ValueType::Long,   ipc::ValueType::Long};
// The record the player's out-values describe (an empty one unless they are
// the twelve above), completed by CompleteCdTrack.
TTrackInfo TrackInfoFromValues(const std::vector<ipc::Value>& values);
// The twelve values that write `info` back (after the track number).
std::vector<ipc::Value> TrackInfoValues(const TTrackInfo& info);

}  // namespace sl::player
