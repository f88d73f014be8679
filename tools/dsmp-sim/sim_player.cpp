#include "sim_player.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "text/codepage.h"

namespace dsmp_sim {

namespace ipc = sl::ipc;
namespace contract = sl::player::contract;
using sl::platform::JsonInt;
using sl::platform::JsonMember;
using sl::platform::JsonText;

namespace {
volatile sig_atomic_t gStop = 0;
constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;
}  // namespace

void RequestStop() { gStop = 1; }
bool StopRequested() { return gStop != 0; }

std::u16string W(const std::string& s) { return sl::text::Utf8ToUtf16(s); }
std::string U(const std::u16string& s) { return sl::text::Utf16ToUtf8(s); }

FileRead ReadJsonObjectFile(const std::string& path, Json& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return FileRead::CannotOpen;
  std::string text;
  char piece[16384];
  while (text.size() <= kMaxFileBytes && in.read(piece, sizeof piece).gcount() > 0)
    text.append(piece, static_cast<std::size_t>(in.gcount()));
  sl::platform::JsonLimits limits;
  limits.maxBytes = kMaxFileBytes;
  auto r = sl::platform::ReadJson(text, limits);
  if (!r.value || !r.value->is_object()) {
    error = path + ": " + (r.error.empty() ? "not a JSON object" : r.error) + " at byte " +
            std::to_string(r.offset);
    return FileRead::Malformed;
  }
  out = std::move(*r.value);
  return FileRead::Ok;
}

Trigger Trigger::From(const std::string& text) {
  Trigger t;
  if (text.empty()) return t;
  const auto hash = text.find('#');
  t.call = text.substr(0, hash);
  if (hash != std::string::npos) t.nth = std::max(1, std::atoi(text.c_str() + hash + 1));
  t.armed = true;
  return t;
}

bool Player::Load(std::string& error) {
  state = Json::object();
  if (!statePath.empty() && ReadJsonObjectFile(statePath, state, error) == FileRead::Malformed) return false;
  if (const Json* pl = JsonMember(state, "playlist")) tracks = ParseTracks(*pl);
  hangOn_ = Trigger::From(JsonText(state, "hang_on"));
  exitOn_ = Trigger::From(JsonText(state, "exit_on"));
  if (const Json* n = JsonMember(state, "notify_on")) {
    notifyOn_ = Trigger::From(JsonText(*n, "call"));
    notifyWParam_ = static_cast<std::uint32_t>(JsonInt(*n, "wparam"));
    notifyLParam_ = JsonInt(*n, "lparam");
  }
  return true;
}

std::vector<Track> Player::ParseTracks(const Json& playList) {
  std::vector<Track> tracks;
  const Json* list = JsonMember(playList, "tracks");
  if (list == nullptr || !list->is_array()) return tracks;
  for (const auto& t : *list) {
    if (tracks.size() >= kMaxTracks) break;
    Track k;
    k.title = JsonText(t, "title");
    k.artist = JsonText(t, "artist");
    k.file = JsonText(t, "file");
    k.text1 = JsonText(t, "text1");
    k.text2 = JsonText(t, "text2");
    k.long1 = JsonInt(t, "long1");
    k.long2 = JsonInt(t, "long2");
    k.long3 = JsonInt(t, "long3");
    k.kind = JsonInt(t, "kind");
    k.drive = JsonInt(t, "drive");
    k.cdtrack = JsonInt(t, "cdtrack");
    k.long6 = JsonInt(t, "long6");
    k.long7 = JsonInt(t, "long7");
    tracks.push_back(std::move(k));
  }
  return tracks;
}

Json& Player::PlayListJson() {
  Json& playList = state["playlist"];
  if (!playList.is_object()) playList = Json::object();
  return playList;
}

void Player::SaveState() {
  Json list = Json::array();
  for (const auto& t : tracks) {
    list.push_back(Json{{"title", t.title},
                        {"artist", t.artist},
                        {"file", t.file},
                        {"text1", t.text1},
                        {"text2", t.text2},
                        {"long1", t.long1},
                        {"long2", t.long2},
                        {"long3", t.long3},
                        {"kind", t.kind},
                        {"drive", t.drive},
                        {"cdtrack", t.cdtrack},
                        {"long6", t.long6},
                        {"long7", t.long7}});
  }
  PlayListJson()["tracks"] = std::move(list);
  if (statePath.empty()) return;
  // Atomic: a temporary file beside the state file, renamed over it.
  const std::string tmp = statePath + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << sl::platform::WriteJson(state) << '\n';
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

std::string Player::Str(const char* key) { return JsonText(PlayListJson(), key); }
void Player::SetStr(const char* key, const std::string& v) { PlayListJson()[key] = v; }

Json Player::Properties() const {
  const Json* p = JsonMember(state, "properties");
  return p != nullptr ? *p : Json::object();
}

std::int32_t Player::Prop(const char* name, std::int32_t def) const {
  return JsonInt(Properties(), name, def);
}

void Player::SetProp(const char* name, Json v) {
  Json& p = state["properties"];
  if (!p.is_object()) p = Json::object();
  p[name] = std::move(v);
  SaveState();
}

Client* Player::FindClient(ipc::Handle w) {
  for (auto& c : clients) {
    if (c.window == w) return &c;
  }
  return nullptr;
}

Client& Player::AddClient(ipc::Handle w) {
  if (Client* c = FindClient(w)) return *c;
  if (clients.size() >= kMaxClients) clients.erase(clients.begin());
  clients.push_back(Client{w});
  return clients.back();
}

void Player::PostTo(ipc::Handle w, std::uint32_t wp, std::int32_t lp) {
  ipc::PostMessage(w, message, wp, lp);
}

void Player::Notify(std::uint32_t wp, std::int32_t lp) {
  const std::uint32_t code = contract::CodeOf(wp);
  for (const auto& c : std::vector<Client>(clients)) {
    if (c.registered && (c.mask & code)) PostTo(c.window, wp, lp);
  }
}

void Player::PostAll(std::uint32_t wp, std::int32_t lp) {
  for (const auto& c : std::vector<Client>(clients)) PostTo(c.window, wp, lp);
}

void Player::Hang(long long ms) {
  std::cout << "hang " << ms << std::endl;
  for (long long waited = 0; waited < ms && !StopRequested(); waited += 100) ::poll(nullptr, 0, 100);
}

bool Player::BeforeCall(const std::string& name, const std::vector<ipc::Value>& in) {
  const int count = ++callCounts_[name];
  std::cout << "call " << name;
  for (const auto& v : in) {
    if (v.type == ipc::ValueType::String) {
      std::cout << " \"" << U(v.text).substr(0, 200) << '"';
    } else {
      std::cout << ' ' << v.number;
    }
  }
  std::cout << std::endl;
  if (exitOn_.armed && exitOn_.call == name && exitOn_.nth == count) {
    std::cout << "exit mid-call" << std::endl;
    std::_Exit(3);
  }
  if (notifyOn_.armed && notifyOn_.call == name && notifyOn_.nth == count)
    PostAll(notifyWParam_, notifyLParam_);
  if (hangOn_.armed && hangOn_.call == name && hangOn_.nth == count) Hang(JsonInt(state, "hang_ms", 600000));
  const int delay = JsonInt(state, "delay_ms", 0);
  if (delay > 0) ::poll(nullptr, 0, std::min(delay, 60000));
  return JsonText(state, "fail_on") == name;
}

std::int32_t Player::WndProc(std::uint32_t msg, std::uint32_t wp, std::int32_t lp) {
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

}  // namespace dsmp_sim
