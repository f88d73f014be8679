// The reference player's state: the play list, the properties and the
// scripting keys of its state file, and the client windows it knows.
//
// The state file is JSON, read at start and written back atomically after
// every change of the play list or a property:
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
// A state file (or a play list passed to Load) is at most 16 MiB; a key
// given twice in one object makes it unreadable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ipc/ipc.h"
#include "platform/bounded_json.h"
#include "player/contract.h"

namespace dsmp_sim {

using sl::platform::Json;

inline constexpr std::size_t kMaxTracks = 65535;
inline constexpr std::size_t kMaxClients = 256;
inline constexpr std::size_t kMaxSaves = 10000;

// The end of the program, asked for by a signal or a command; safe to set
// from a signal handler.
void RequestStop();
bool StopRequested();

std::u16string W(const std::string& s);
std::string U(const std::u16string& s);

// Reads a JSON file of at most 16 MiB whose top is an object. A file that
// is larger, malformed or holds no object is Malformed, with a message
// naming the file (and the byte of a fault).
enum class FileRead { Ok, CannotOpen, Malformed };
FileRead ReadJsonObjectFile(const std::string& path, Json& out, std::string& error);

struct Track {
  std::string title, artist, file, text1, text2;
  std::int32_t long1 = 0, long2 = 0, long3 = 0, kind = 0, drive = 0, cdtrack = 0, long6 = 0, long7 = 0;
};

struct Client {
  sl::ipc::Handle window = 0;
  std::uint32_t mask = sl::player::contract::kDefaultMask;
  bool registered = false;
};

// A scripted call, "Interface.slot[#N]".
struct Trigger {
  std::string call;
  int nth = 1;
  bool armed = false;
  static Trigger From(const std::string& text);
};

class Player {
 public:
  std::string statePath;
  Json state = Json::object();
  std::vector<Track> tracks;
  std::vector<Client> clients;
  sl::ipc::Handle main = 0;
  std::uint32_t message = 0;

  // Reads the state file (none, or a missing one: an empty state).
  bool Load(std::string& error);
  // The tracks of a play list object ({"tracks": [...]}).
  static std::vector<Track> ParseTracks(const Json& playList);
  // Writes the state, tracks included, atomically to the state file.
  void SaveState();

  std::string Str(const char* key);
  void SetStr(const char* key, const std::string& v);
  Json Properties() const;
  std::int32_t Prop(const char* name, std::int32_t def = 0) const;
  void SetProp(const char* name, Json v);

  Client* FindClient(sl::ipc::Handle w);
  Client& AddClient(sl::ipc::Handle w);
  void PostTo(sl::ipc::Handle w, std::uint32_t wp, std::int32_t lp);
  // A notification to the registered clients whose mask has its bit.
  void Notify(std::uint32_t wp, std::int32_t lp);
  void PostAll(std::uint32_t wp, std::int32_t lp);
  void Hang(long long ms);

  // The scripted behaviour of one call, before it is answered. True: the
  // call is to fail.
  bool BeforeCall(const std::string& name, const std::vector<sl::ipc::Value>& in);
  std::int32_t WndProc(std::uint32_t msg, std::uint32_t wp, std::int32_t lp);

 private:
  Json& PlayListJson();

  std::map<std::string, int> callCounts_;
  Trigger hangOn_, exitOn_, notifyOn_;
  std::uint32_t notifyWParam_ = 0;
  std::int32_t notifyLParam_ = 0;
};

}  // namespace dsmp_sim
