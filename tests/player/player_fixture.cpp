#include "player_fixture.h"

#include <sstream>

namespace sl::test {

using player::PlayerLink;
using player::PlayerMenuItem;

void RecordEvents(PlayerLink& d, std::vector<std::string>& log) {
  auto* l = &log;
  auto plain = [l](const char* name) {
    return [l, name](PlayerLink*) { l->push_back(std::string(name) + "()"); };
  };
  auto param = [l](const char* name) {
    return [l, name](PlayerLink*, int p) { l->push_back(std::string(name) + "(" + std::to_string(p) + ")"); };
  };
  auto code = [l](const char* name) {
    return [l, name](PlayerLink*, std::uint32_t e, int p) {
      l->push_back(std::string(name) + "(" + std::to_string(e) + "," + std::to_string(p) + ")");
    };
  };
  auto lr = [l](const char* name) {
    return [l, name](PlayerLink*, int a, int b) {
      l->push_back(std::string(name) + "(" + std::to_string(a) + "," + std::to_string(b) + ")");
    };
  };
  auto flag = [l](const char* name) {
    return [l, name](PlayerLink*, bool f) { l->push_back(std::string(name) + (f ? "(true)" : "(false)")); };
  };
  auto menu = [l](const char* name) {
    return [l, name](PlayerMenuItem* m) {
      l->push_back(std::string(name) + "(" + (m ? std::to_string(m->MenuId) : std::string("null")) + ")");
    };
  };
  d.OnOpen = plain("OnOpen");
  d.OnClose = plain("OnClose");
  d.OnRun = plain("OnRun");
  d.OnAbort = plain("OnAbort");
  d.OnBind = plain("OnBind");
  d.OnUnbind = plain("OnUnbind");
  d.OnDisplayCaption = plain("OnDisplayCaption");
  d.OnSaveDSMPini = plain("OnSaveDSMPini");
  d.OnDesign = plain("OnDesign");
  d.OnLoadLyrics = plain("OnLoadLyrics");
  d.OnMenu = menu("OnMenu");
  d.OnDisplayMenu = menu("OnDisplayMenu");
  d.OnPlayStatus = param("OnPlayStatus");
  d.OnLyrics = param("OnLyrics");
  d.OnCounter = param("OnCounter");
  d.OnPosition = param("OnPosition");
  d.OnIntTimer = param("OnIntTimer");
  d.OnChangeVolume = param("OnChangeVolume");
  d.OnDisplayTrack = param("OnDisplayTrack");
  d.OnDisplayTitle = param("OnDisplayTitle");
  d.OnDisplayTimer = param("OnDisplayTimer");
  d.OnOpenTrack = param("OnOpenTrack");
  d.OnCloseTrack = param("OnCloseTrack");
  d.OnClick = param("OnClick");
  d.OnDblClick = param("OnDblClick");
  d.OnChangePlayList = param("OnChangePlayList");
  d.OnAdjustLevel = param("OnAdjustLevel");
  d.OnDSMP = code("OnDSMP");
  d.OnButton = code("OnButton");
  d.OnStatus = code("OnStatus");
  d.OnUser = code("OnUser");
  d.OnVolume = lr("OnVolume");
  d.OnMove = lr("OnMove");
  d.OnMoved = lr("OnMoved");
  d.OnSpeana = [l](PlayerLink*, int* level) {
    std::ostringstream s;
    s << "OnSpeana(";
    for (int k = 0; k < 10; ++k) s << (k ? "," : "") << level[k];
    s << ")";
    l->push_back(s.str());
  };
  d.OnVisible = flag("OnVisible");
  d.OnActive = flag("OnActive");
  d.OnMinimize = flag("OnMinimize");
  d.OnStayOnTop = flag("OnStayOnTop");
  d.OnRepeat = flag("OnRepeat");
  d.OnRandom = flag("OnRandom");
  d.OnDisplayTime = flag("OnDisplayTime");
  d.OnDisplayDevice = [l](PlayerLink*, player::PlayerDeviceType t) {
    l->push_back("OnDisplayDevice(" + std::to_string(static_cast<int>(t)) + ")");
  };
  d.OnChangeDisplayMode = [l](PlayerLink*, player::PlayerDisplayMode m) {
    l->push_back("OnChangeDisplayMode(" + std::to_string(static_cast<int>(m)) + ")");
  };
}

std::string PlayListJson(int n, const std::string& extra, bool titled) {
  std::string tracks;
  for (int k = 1; k <= n; ++k) {
    if (k > 1) tracks += ",";
    char file[32];
    std::snprintf(file, sizeof file, "D:\\\\Track%02d.cda", k);
    tracks += "{\"title\":\"" + (titled ? "Title " + std::to_string(k) : std::string()) + "\",\"artist\":\"" +
              (titled ? "Artist " + std::to_string(k) : std::string()) + "\",\"file\":\"" + file +
              "\",\"kind\":16,\"drive\":0,\"cdtrack\":0}";
  }
  return "{\"version\":6100,\"accepts_level\":true,\"refuse\":\"\"" + (extra.empty() ? "" : "," + extra) +
         ",\"playlist\":{\"name\":\"/tmp/list.dpl\",\"title\":\"" + (titled ? "List title" : "") +
         "\",\"tracks\":[" + tracks + "]},\"saves\":[]}";
}

}  // namespace sl::test
