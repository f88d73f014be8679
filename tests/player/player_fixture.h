// Shared set-up of the player tests: a private IPC folder, a recorder for
// boxes and questions, and a log of every event a component raises.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ipc/ipc.h"
#include "mainform/outcome_texts.h"
#include "player/player.h"
#include "shell/model.h"
#include "support/dsmp_process.h"
#include "support/recorder.h"
#include "support/scoped_env.h"
#include "support/scoped_settings.h"

namespace sl::test {

// Every event of `d` appends "Name(args)" to `log`.
void RecordEvents(player::PlayerLink& d, std::vector<std::string>& log);

// A play list of `n` CD tracks titled "Title k" with artists "Artist k".
std::string PlayListJson(int n, const std::string& extra = "", bool titled = true);

class PlayerTest : public ::testing::Test {
 protected:
  PlayerTest() {
    link.PlayerProgram("").TimeoutMs(400);
    env.Set("SONOLABEL_IPC_TIMEOUT_MS", "400");  // the players it starts
  }

  std::unique_ptr<player::PlayerLink> MakeDsmp(player::PlayerLinkOptions options = {}) {
    options.startTimeoutMs = startMs;
    // Reports and questions shown as the main window shows them.
    if (!options.hooks.report) options.hooks = mainform::PlayerHooksFor(model, services);
    auto d = std::make_unique<player::PlayerLink>(services, std::move(options));
    d->SetAutoLink(false);
    RecordEvents(*d, events);
    return d;
  }
  bool Pump(const std::function<bool()>& done, int ms = 3000) { return ipc::PumpUntil(done, ms); }
  // Lets everything already posted arrive and be handled.
  void Settle() {
    ipc::PumpUntil([] { return false; }, 50);
  }

  ScopedEnv env;
  ScopedLinkSettings link;
  PrivateRuntime runtime;
  // How long a player MakeDsmp's link starts may take to show its window.
  int startMs = player::kDefaultPlayerStartMs;
  RecordingServices services;
  shell::ShellModel model;
  std::vector<std::string> events;
};

}  // namespace sl::test
