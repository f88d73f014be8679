// The DSMP player's side of the link as this program relies on it: the
// message name, the window classes, the class and interface ids and the slot
// numbers of every method called. The reference player (dsmp-sim) serves
// exactly this.
#pragma once

#include <cstdint>

#include "ipc/ipc.h"

namespace sl::player::contract {

inline constexpr const char* kMessageName = "WM_DSMP";
inline constexpr const char* kMainClass = "TFormDSMP";
inline constexpr const char* kOtherMainClass = "TDsmpForm";

inline const ipc::Guid kClsidDSMPControl = *ipc::Guid::Parse("{83329E85-0A15-11D3-95BA-004845C01785}");
inline const ipc::Guid kIidIDSMPControl = *ipc::Guid::Parse("{83329E81-0A15-11D3-95BA-004845C01785}");
inline const ipc::Guid kIidIDSMPPlayList = *ipc::Guid::Parse("{83329E82-0A15-11D3-95BA-004845C01785}");
inline const ipc::Guid kIidIDSMPLyrics = *ipc::Guid::Parse("{83329E83-0A15-11D3-95BA-004845C01785}");
inline const ipc::Guid kIidIDSMPMenu = *ipc::Guid::Parse("{83329E84-0A15-11D3-95BA-004845C01785}");
// In-process, local and remote server.
inline constexpr std::uint32_t kClassContext = 0x15;

// The player version and client level the link requires.
inline constexpr std::int32_t kMinVersion = 6100;
inline constexpr std::int32_t kClientLevel = 4300;

// Client-to-player codes (wParam of "WM_DSMP" posted to the player).
inline constexpr std::uint32_t kAnnounceWindow = 0x401;  // lParam: the client's message window
inline constexpr std::uint32_t kToolsChanged = 0x403;

// Notification codes, which are also the bits of the notification mask.
enum Code : std::uint32_t {
  kOpen = 0x00000001,
  kClose = 0x00000002,
  kRun = 0x00000004,
  kAbort = 0x00000008,
  kPlayStatus = 0x00000010,
  kTimer = 0x00000020,
  kCounter = 0x00000040,
  kPosition = 0x00000080,
  kVolume = 0x00000100,
  kLyrics = 0x00000200,
  kMove = 0x00000400,
  kMenu = 0x00000800,
  kSpeana = 0x10000000,
  kButton = 0x20000000,
  kStatus = 0x40000000,
  kUser = 0x80000000,
};
// Every bit but the seven high-rate notifications.
inline constexpr std::uint32_t kDefaultMask = 0xEFFFF81F;

// The code of a notification's wParam.
inline constexpr std::uint32_t CodeOf(std::uint32_t wParam) {
  return wParam < 0x10000 ? wParam : (wParam & 0xFFFF0000u);
}

// IDSMPControl slots (slots 0 to 6 are the generic ones, never called).
namespace control {
inline constexpr int get_Version = 7, CheckVersion = 8, get_Handle = 9;
inline constexpr int get_Visible = 10, put_Visible = 11, get_Left = 12, put_Left = 13;
inline constexpr int get_Top = 14, put_Top = 15, get_Width = 16, get_Height = 17;
inline constexpr int get_PlayStatus = 18, get_Track = 19, put_Track = 20;
inline constexpr int get_Position = 21, put_Position = 22, get_Length = 23;
inline constexpr int get_Volume = 24, put_Volume = 25, get_Counter = 26, put_Counter = 27;
inline constexpr int get_Repeat = 28, put_Repeat = 29, get_Random = 30, put_Random = 31;
inline constexpr int get_RemainTime = 32, put_RemainTime = 33, get_Design = 34, put_Design = 35;
inline constexpr int get_DisplayMode = 38, put_DisplayMode = 39;
inline constexpr int get_OnTimer = 40, put_OnTimer = 41, get_OnTime = 42, put_OnTime = 43;
inline constexpr int get_OffTimer = 44, put_OffTimer = 45, get_OffTime = 46, put_OffTime = 47;
inline constexpr int get_ShutDownRecord = 48, put_ShutDownRecord = 49;
inline constexpr int get_RecLevel = 50, put_RecLevel = 51;
inline constexpr int RegisterClient = 52, UnregisterClient = 53, Abort = 54, Close = 55;
inline constexpr int ShutDown = 56, GetEvent = 57, SetEvent = 58, NotifyEvent = 59;
inline constexpr int Stop = 60, Pause = 61, Play = 62, FF = 63, Rewind = 64, Next = 65;
inline constexpr int Back = 66, Eject = 67, Seek = 68, ShowPlayList = 69, ShowProperty = 70;
inline constexpr int ShowMenu = 71, ShowToolMenu = 72, Click = 73, KeyDown = 74;
inline constexpr int GetText = 75, GetVolumes = 76, GetSpeana = 77, SaveDSMPini = 78;
inline constexpr int GetColor = 80, GetFont = 81, GetFormImage = 82;
inline constexpr int get_Rate = 83, put_Rate = 84, get_AdjustVolLevel = 85, put_AdjustVolLevel = 86;
inline constexpr int get_AdjustSpeanaLevel = 87, put_AdjustSpeanaLevel = 88;
}  // namespace control

// IDSMPPlayList slots.
namespace playlist {
inline constexpr int get_PlayListName = 7, get_Tracks = 8, get_PlayListTitle = 9;
inline constexpr int put_PlayListTitle = 10, New = 25, Add = 28, Load = 29, Save = 30;
inline constexpr int GetTrackInfo = 31, SetTrackInfo = 32;
}  // namespace playlist

// IDSMPLyrics slots.
namespace lyrics {
inline constexpr int get_Lines = 8, GetLine = 21;
}

// IDSMPMenu slots.
namespace menu {
inline constexpr int DeleteMenuItem = 13;
}

}  // namespace sl::player::contract
