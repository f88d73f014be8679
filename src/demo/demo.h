// Demo mode: the program on simulated drives, a local CDDB server, a local
// stand-in for the MusicBrainz web service (sonolabel-mbsim) and the
// reference player dsmp-sim, all fed from the demo data that comes with it,
// with its settings, titles and play list in a folder of its own. Both faces
// start a DemoSession before their main window exists; it points the
// program's configuration at what it started (ASPI layer, settings file,
// "cdplayer.ini" folder, player program, and a runtime folder when the
// session has none), so everything after it runs on the demo. The variables
// only other programs read it puts into the environment (see
// ChildVariables), so that the player a later command starts, and the
// simulated drive layer, find the demo's too.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "config/config.h"

namespace sl::demo {

// What the demo runs on, found relative to the program's folder: beside it
// in a build tree, in the installed folders otherwise.
struct DemoFiles {
  std::string layer;              // libwnaspi32-sim.so
  std::string drives;             // demo/drives.ini
  std::string cddbRoot;           // demo/cddb, the entries the server answers from
  std::string server;             // sonolabel-cddbd, beside the program
  std::string musicBrainzServer;  // sonolabel-mbsim, beside the program
  std::string musicBrainzData;    // demo/musicbrainz, its routes and answers
  std::string player;             // dsmp-sim, the reference player
  std::string playlist;           // demo/playlist.json, the player's starting state
};

// False when something is missing; `error` then names it and where it was
// looked for.
bool FindDemoFiles(const std::string& exeDir, DemoFiles& out, std::string& error);

// The demo's own folder: sonolabel-demo in the user's state folder
// ($XDG_STATE_HOME when that is an absolute path, else ~/.local/state).
std::string DemoStateDir(const config::UserFolders& folders);

// Writes the demo's settings file from scratch: one server, the local one on
// 127.0.0.1:`port` speaking UTF-8, a local submission address, and the
// MusicBrainz stand-in on 127.0.0.1:`musicBrainzPort`, asked when the CDDB
// server has no match. The e-mail address of an earlier run is kept; on the
// first run it is empty, so the program asks for it as on any first start.
bool WriteDemoSettings(const std::string& iniPath, int port, int musicBrainzPort, std::string& error);

class DemoSession {
 public:
  // How long the server may take to start listening, and the player to
  // show its window.
  static constexpr int kStartMilliseconds = 10000;

  DemoSession() = default;
  ~DemoSession();
  DemoSession(const DemoSession&) = delete;
  DemoSession& operator=(const DemoSession&) = delete;

  // Finds the demo files, makes the state folder (in `configuration`'s
  // state folder), starts the local CDDB server on a private copy of the
  // demo entries and the MusicBrainz stand-in, writes the settings, starts the player on a fresh copy of
  // the demo play list, points `configuration` at them (see Configure) and
  // puts ChildVariables() into the process environment. False with `error`
  // (a sentence for the user) when any step fails; nothing is left running
  // and `configuration` is as it was.
  bool Start(const std::string& exeDir, config::Configuration& configuration, std::string& error);
  // Stops the player and the servers and removes the private copies. Also
  // done on destruction; should the program end any other way (the exit
  // command, a signal), both end with it and the session's folders are
  // removed all the same.
  void Stop();

  bool Running() const { return server_ > 0 && musicBrainz_ > 0 && player_ > 0; }
  int Port() const { return port_; }                        // the CDDB server's
  int MusicBrainzPort() const { return musicBrainzPort_; }  // the MusicBrainz stand-in's
  const std::string& StateDir() const { return stateDir_; }
  // What the running demo sets in a configuration read from the
  // environment: the overrides of the settings file and "cdplayer.ini"
  // folder, the ASPI layer, the player program, the runtime folder (when
  // the session had none) and demo mode. The paths resolved from them are
  // for the face to resolve afterwards. Nothing when not running.
  void Configure(config::Configuration& configuration) const;
  // The variables Start put into the environment, in the order it set
  // them: those read by the simulated drive layer (loaded into this
  // process, it reads its own) and by the programs the demo and the player
  // link start.
  std::vector<std::pair<std::string, std::string>> ChildVariables() const;

 private:
  // Starts `args` (the program first), which writes the port it listens on
  // to `portFile`; `name` says what it is in `error`.
  bool StartListener(const std::vector<std::string>& args, const std::string& portFile,
                     const std::string& logFile, const std::string& name, pid_t& pid, int& port,
                     std::string& error);
  bool StartServer(std::string& error);
  bool StartMusicBrainzServer(std::string& error);
  bool StartPlayer(std::string& error);
  void StartCleaner();
  void StopCleaner();

  DemoFiles files_;
  std::string stateDir_;
  std::string sessionDir_;  // this run's copy of the entries and its port file
  std::string runtimeDir_;  // a private XDG_RUNTIME_DIR, when the session had none
  pid_t server_ = -1;
  pid_t musicBrainz_ = -1;
  pid_t player_ = -1;
  // A small process that removes the session's folders should this one end
  // without Stop (the exit command ends it at once, a signal may kill it);
  // it watches the pipe whose writing end only this process holds.
  pid_t cleaner_ = -1;
  int cleanerPipe_ = -1;
  int port_ = 0;
  int musicBrainzPort_ = 0;
};

}  // namespace sl::demo
