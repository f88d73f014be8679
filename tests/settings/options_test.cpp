// The options dialog's server tab against a real settings file.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "mainform/outcome_texts.h"
#include "settings/options.h"
#include "settings/serverlist.h"
#include "shell/model.h"
#include "support/recorder.h"

namespace sl::settings {
namespace {

class Options : public ::testing::Test {
 protected:
  Options() : settings(dir.File("sonolabel.INI")), dialog(mainform::OptionHookFor(model, services)) {
    dialog.SetSettings(&settings);
    // The sources tab as the main window fills it before the dialog shows.
    dialog.state.musicBrainzServer = kDefaultMusicBrainzServer;
    settings.WriteInteger(kSection, kKeyServerCount, 2);
    settings.WriteServer(0, {"gnudb.gnudb.org", "/~cddb/cddb.cgi?", 0, ""});
    settings.WriteServer(1, {"jp.cddb.example", "/cgi/cddb.cgi?", 2, ""});
  }
  // Shows the dialog as the main window does.
  void Show() {
    dialog.FillFromSettings();
    dialog.HandleActivation();
  }
  // The user types `text` into the host box.
  void Type(const std::string& text) {
    dialog.state.hostText = text;
    dialog.EditServerHost();
  }
  std::vector<std::string> Stored() const {
    std::vector<std::string> out;
    const int n = settings.ReadInteger(kSection, kKeyServerCount, 0);
    for (int i = 0; i < n; ++i) {
      const ServerEntry e = settings.ReadServer(i);
      out.push_back(e.host + " " + e.path + " " + std::to_string(e.code));
    }
    return out;
  }

  test::TempDir dir;
  SettingsFile settings;
  test::RecordingServices services;
  shell::ShellModel model;
  OptionsDialogLogic dialog;
};

TEST_F(Options, ShowListsEachStoredHostOnceAndPicksTheFirst) {
  Show();
  Show();
  const auto& s = dialog.state;
  EXPECT_EQ(s.hosts, (std::vector<std::string>{"gnudb.gnudb.org", "jp.cddb.example"}));
  EXPECT_EQ(s.hostIndex, 0);
  EXPECT_EQ(s.hostText, "gnudb.gnudb.org");
  EXPECT_EQ(s.editedEntry, 0);
  EXPECT_FALSE(s.applyEnabled);
  EXPECT_EQ(s.serverPath, "/~cddb/cddb.cgi?");
  EXPECT_FALSE(s.doubleByteEnabled);
}

TEST_F(Options, PickingAHostShowsItsPathAndCode) {
  settings.WriteServer(0, {"gnudb.gnudb.org", "/~cddb/cddb.cgi?", 1, ""});
  settings.WriteInteger(kSection, kKeyServerCount, 3);
  settings.WriteServer(2, {"new.example", "/x?", 0, ""});
  Show();
  struct Row {
    int pick;
    std::string path;
    bool enabled, checked;
  } rows[] = {
      {1, "/cgi/cddb.cgi?", true, true},     // code 2
      {2, "/x?", false, true},               // code 0: disabled, the tick stays
      {0, "/~cddb/cddb.cgi?", true, false},  // code 1
      {2, "/x?", false, false},
  };
  for (const auto& r : rows) {
    dialog.SelectServerHost(r.pick);
    EXPECT_EQ(dialog.state.editedEntry, r.pick);
    EXPECT_EQ(dialog.state.serverPath, r.path);
    EXPECT_EQ(dialog.state.doubleByteEnabled, r.enabled) << r.pick;
    EXPECT_EQ(dialog.state.doubleByteChecked, r.checked) << r.pick;
    EXPECT_FALSE(dialog.state.applyEnabled);  // picking alone applies nothing
  }
}

TEST_F(Options, AddWithCodeByTheCheckBox) {
  for (bool ticked : {true, false}) {
    Show();
    dialog.AddServer();
    EXPECT_EQ(dialog.state.editedEntry, -1);
    EXPECT_EQ(dialog.state.hostText, "");
    EXPECT_EQ(dialog.state.serverPath, "/~cddb/cddb.cgi?");
    EXPECT_TRUE(dialog.state.doubleByteEnabled);
    EXPECT_FALSE(dialog.state.applyEnabled);
    Type(ticked ? "two.example" : "one.example");
    EXPECT_TRUE(dialog.state.applyEnabled);
    dialog.state.doubleByteChecked = ticked;
    dialog.ApplyServer();
    EXPECT_FALSE(dialog.state.applyEnabled);
  }
  EXPECT_EQ(Stored(), (std::vector<std::string>{
                          "gnudb.gnudb.org /~cddb/cddb.cgi? 0", "jp.cddb.example /cgi/cddb.cgi? 2",
                          "two.example /~cddb/cddb.cgi? 2", "one.example /~cddb/cddb.cgi? 1"}));
}

TEST_F(Options, RenameInPlaceAndRefuseContainedHosts) {
  Show();
  dialog.SelectServerHost(1);
  dialog.state.serverPath = "/other?";
  // Only the path changed: nothing to apply.
  EXPECT_FALSE(dialog.state.applyEnabled);
  // Typing leaves the same host, found inside the stored one: not stored.
  Type("jp.cddb.example");
  dialog.ApplyServer();
  // A part of a stored host (its first label) is refused too.
  Type("jp");
  dialog.ApplyServer();
  Type("");
  dialog.ApplyServer();
  EXPECT_EQ(Stored(), (std::vector<std::string>{"gnudb.gnudb.org /~cddb/cddb.cgi? 0",
                                                "jp.cddb.example /cgi/cddb.cgi? 2"}));
  // A new name renames entry 1 in place, with the path box's text; the check
  // box is enabled by typing, so its tick decides the code.
  Type("cddb.example.jp:8880");
  dialog.state.doubleByteChecked = false;
  dialog.ApplyServer();
  EXPECT_EQ(Stored(), (std::vector<std::string>{"gnudb.gnudb.org /~cddb/cddb.cgi? 0",
                                                "cddb.example.jp:8880 /other? 1"}));
  EXPECT_TRUE(services.boxes.empty());
}

TEST_F(Options, OkAppliesAPendingEntryAndCancelDropsIt) {
  Show();
  dialog.AddServer();
  Type("dropped.example");
  EXPECT_EQ(dialog.CancelOptions(), shell::kModalCancel);
  EXPECT_EQ(Stored().size(), 2u);

  Show();
  dialog.AddServer();
  Type("kept.example");
  EXPECT_EQ(dialog.AcceptOptions(), shell::kModalOk);
  ASSERT_EQ(Stored().size(), 3u);
  EXPECT_EQ(Stored()[2], "kept.example /~cddb/cddb.cgi? 1");

  // OK without a pending edit writes nothing.
  Show();
  dialog.SelectServerHost(0);
  EXPECT_EQ(dialog.AcceptOptions(), shell::kModalOk);
  EXPECT_EQ(Stored().size(), 3u);
}

TEST_F(Options, TypingIntoAnEmptyListAddsAnEntryThatTheListShows) {
  settings.WriteInteger(kSection, kKeyServerCount, 0);
  Show();
  EXPECT_EQ(dialog.state.editedEntry, 0);
  EXPECT_EQ(dialog.state.hostText, "");
  Type("only.example");
  dialog.ApplyServer();
  EXPECT_EQ(Stored(), (std::vector<std::string>{"only.example /~cddb/cddb.cgi? 1"}));
}

TEST_F(Options, AWriteThatFailsIsReported) {
  Show();
  dialog.AddServer();
  Type("bad\x01host]");
  dialog.state.serverPath = std::string(70000, 'p');  // longer than a value may be
  dialog.ApplyServer();
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Error);
  EXPECT_EQ(services.boxes[0].text.rfind("サーバの設定を保存できませんでした。\n", 0), 0u);
  EXPECT_EQ(Stored().size(), 2u);
}

TEST_F(Options, AFullListIsReportedTypedAndLeftAsItWas) {
  std::vector<OptionReport> reports;
  OptionsDialogLogic own([&reports](const OptionReport& r) { reports.push_back(r); });
  own.SetSettings(&settings);
  settings.WriteInteger(kSection, kKeyServerCount, kMaxServers);
  own.FillFromSettings();
  own.HandleActivation();
  own.AddServer();
  own.state.hostText = "one.more.example";
  own.EditServerHost();
  EXPECT_FALSE(own.ApplyServerEntry());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].event, OptionEvent::ServerListFull);
  EXPECT_EQ(settings.ReadInteger(kSection, kKeyServerCount, 0), kMaxServers);
  EXPECT_TRUE(services.boxes.empty());  // the dialog shows nothing itself
}

// OK with a MusicBrainz server or contact that cannot be taken keeps the
// dialog open with what was typed: the refusal is reported, and nothing is
// stored, not even the server entry waiting for "適用".
TEST_F(Options, ARefusedSourceKeepsTheDialogOpenAndStoresNothing) {
  Show();
  dialog.AddServer();
  Type("new.cddb.example");
  ASSERT_TRUE(dialog.state.applyEnabled);
  const auto before = Stored();
  for (const auto& [server, contact] : {std::pair<std::string, std::string>{"musicbrainz.org", ""},
                                        {kDefaultMusicBrainzServer, "me@example.org\r\nX-Injected: 1"}}) {
    services.boxes.clear();
    dialog.state.musicBrainzServer = server;
    dialog.state.musicBrainzContact = contact;
    EXPECT_EQ(dialog.AcceptOptions(), shell::kModalStay) << server;
    ASSERT_EQ(services.boxes.size(), 1u) << server;
    EXPECT_EQ(
        services.boxes[0].text.rfind("情報源タブの入力に誤りがあるため、オプションは保存していません。\n", 0),
        0u)
        << services.boxes[0].text;
    EXPECT_EQ(Stored(), before);
    EXPECT_TRUE(dialog.state.applyEnabled);
    EXPECT_EQ(dialog.state.musicBrainzServer, server);  // as typed, to be corrected
  }
  // Corrected, the same OK goes through and stores the waiting entry.
  dialog.state.musicBrainzServer = kDefaultMusicBrainzServer;
  dialog.state.musicBrainzContact = "";
  EXPECT_EQ(dialog.AcceptOptions(), shell::kModalOk);
  EXPECT_EQ(Stored().size(), before.size() + 1);
}

// "UTF-8" beside "2ﾊﾞｲﾄ文字" reads and writes the entry's charset key: a
// picked server shows it, ticking or clearing it alone and "適用" change
// only that key, and a new entry gets it by the box.
TEST_F(Options, Utf8BoxReadsAndWritesTheCharsetKey) {
  settings.WriteServer(0, {"gnudb.gnudb.org", "/~cddb/cddb.cgi?", 0, "UTF-8"});
  Show();
  dialog.SelectServerHost(0);
  EXPECT_TRUE(dialog.state.utf8Checked);
  dialog.SelectServerHost(1);
  EXPECT_FALSE(dialog.state.utf8Checked);

  // Tick it for the picked server: only the key changes.
  const std::string before = test::ReadFileBytes(settings.Path());
  dialog.state.utf8Checked = true;
  dialog.ToggleUtf8();
  EXPECT_TRUE(dialog.state.applyEnabled);
  dialog.ApplyServer();
  EXPECT_EQ(settings.ReadServer(1).charset, "UTF-8");
  EXPECT_EQ(settings.ReadServer(1).path, "/cgi/cddb.cgi?");
  EXPECT_EQ(settings.ReadServer(1).code, 2);
  // Cleared again: the key is gone, the file as it was.
  dialog.state.utf8Checked = false;
  dialog.ToggleUtf8();
  dialog.ApplyServer();
  EXPECT_EQ(test::ReadFileBytes(settings.Path()), before);

  // A new entry with the box ticked.
  dialog.AddServer();
  EXPECT_FALSE(dialog.state.utf8Checked);
  Type("utf8.cddb.example");
  dialog.state.utf8Checked = true;
  dialog.ApplyServer();
  EXPECT_EQ(settings.ReadServer(2).host, "utf8.cddb.example");
  EXPECT_TRUE(settings.ReadServer(2).Utf8());
  // A path changed under the host's own name is still not written.
  dialog.SelectServerHost(2);
  dialog.state.serverPath = "/other?";
  Type("utf8.cddb.example");
  dialog.ApplyServer();
  EXPECT_EQ(settings.ReadServer(2).path, "/~cddb/cddb.cgi?");
}

// The "UTF-8" box shows the shown entry's charset from the moment the dialog
// opens, whatever it showed when last closed, and an edit of that entry
// writes back what the box shows.
TEST_F(Options, Utf8BoxIsRefreshedWhenTheDialogOpens) {
  settings.WriteServer(0, {"gnudb.gnudb.org", "/~cddb/cddb.cgi?", 0, "UTF-8"});
  // Last use ended on entry 1, which has no charset.
  Show();
  dialog.SelectServerHost(1);
  EXPECT_FALSE(dialog.state.utf8Checked);
  dialog.CancelOptions();

  Show();
  EXPECT_TRUE(dialog.state.utf8Checked);
  Type("gnudb.gnudb.org");  // retyped under its own name
  EXPECT_EQ(dialog.AcceptOptions(), shell::kModalOk);
  EXPECT_EQ(settings.ReadServer(0).charset, "UTF-8");

  // And the other way round: entry 0 without the key after a use that
  // ended ticked on entry 1.
  ASSERT_TRUE(settings.WriteSections({{ServerSection(0), {}, {kKeyCharset}}}));
  settings.WriteServer(1, {"jp.cddb.example", "/cgi/cddb.cgi?", 2, "UTF-8"});
  dialog.SelectServerHost(1);
  EXPECT_TRUE(dialog.state.utf8Checked);
  Show();
  EXPECT_FALSE(dialog.state.utf8Checked);
  Type("gnudb.gnudb.org");
  dialog.AcceptOptions();
  EXPECT_EQ(settings.ReadServer(0).charset, "");
  EXPECT_EQ(settings.ReadServer(1).charset, "UTF-8");
}

// A box that shows no entry's value never writes a charset: a rename keeps
// the stored key.
TEST_F(Options, ACharsetIsWrittenOnlyFromABoxShowingThatEntry) {
  settings.WriteServer(1, {"jp.cddb.example", "/cgi/cddb.cgi?", 2, "UTF-8"});
  Show();
  dialog.SelectServerHost(1);
  dialog.state.utf8Checked = false;
  dialog.state.utf8Entry = shell::OptionDialogState::kNoEntry;
  Type("renamed.example");
  dialog.ApplyServer();
  EXPECT_EQ(settings.ReadServer(1).host, "renamed.example");
  EXPECT_EQ(settings.ReadServer(1).charset, "UTF-8");
  // Clearing the box by hand for that entry does remove it.
  dialog.state.utf8Checked = false;
  dialog.ToggleUtf8();
  dialog.ApplyServer();
  EXPECT_EQ(settings.ReadServer(1).charset, "");
}

// The dialog sees as many stored servers as the server menu does: with
// 1,500 stored, every host is listed, a host inside entry 1,200 is refused
// and a new one is added as entry 1,500.
TEST_F(Options, TheDialogAndTheMenuShareOneCapOnTheList) {
  constexpr int kStored = 1500;
  std::vector<inifile::Profile::SectionKeys> sections;
  sections.push_back({kSection, {{kKeyServerCount, std::to_string(kStored)}}});
  for (int i = 0; i < kStored; ++i)
    sections.push_back(
        {ServerSection(i),
         {{kKeyHost, "host" + std::to_string(i) + ".example"}, {kKeyPath, kDefaultServerPath}}});
  ASSERT_TRUE(settings.WriteSections(sections));
  Show();
  ASSERT_EQ(dialog.state.hosts.size(), static_cast<std::size_t>(kStored));
  EXPECT_EQ(dialog.state.hosts.back(), "host1499.example");

  dialog.AddServer();
  Type("host1200.example");
  dialog.ApplyServer();
  EXPECT_EQ(settings.ReadInteger(kSection, kKeyServerCount, 0), kStored);
  Type("fresh.example");
  dialog.ApplyServer();
  EXPECT_TRUE(services.boxes.empty());
  EXPECT_EQ(settings.ReadInteger(kSection, kKeyServerCount, 0), kStored + 1);
  EXPECT_EQ(settings.ReadServer(kStored).host, "fresh.example");
}

// The sources tab's read-only line: the contact when one is typed, else the
// e-mail address as the e-mail tab holds it, following each edit.
TEST_F(Options, SentContactFollowsTheContactAndTheAddress) {
  dialog.state.email = "me@example.org";
  dialog.state.musicBrainzContact = "";
  Show();
  EXPECT_EQ(dialog.state.sentContact, "me@example.org");
  dialog.state.musicBrainzContact = "https://example.org/me";
  dialog.EditContact();
  EXPECT_EQ(dialog.state.sentContact, "https://example.org/me");
  dialog.state.email = "other@example.org";
  dialog.EditContact();
  EXPECT_EQ(dialog.state.sentContact, "https://example.org/me");
  dialog.state.musicBrainzContact.clear();
  dialog.EditContact();
  EXPECT_EQ(dialog.state.sentContact, "other@example.org");
}

}  // namespace
}  // namespace sl::settings
