// The table of texts: every outcome the window can be told of is shown as
// something (except a match choice, which the dialog itself showed), boxes
// and status writes come in their order, and details land where they go.
#include <gtest/gtest.h>

#include "mainform/outcome_texts.h"
#include "support/recorder.h"

namespace sl::mainform {
namespace {

// What showing one outcome did: the status written (or "" when left), the
// boxes, and whether the status was written before the first box.
struct Seen {
  std::string status;
  std::vector<test::RecordingServices::Box> boxes;
  bool statusBeforeBox = false;
};

Seen ShowOnce(const ShownText& shown, const std::string& detail = "D", std::string_view line = "500 x") {
  shell::ShellModel model;
  test::RecordingServices services;
  model.SetStatus(0, "");
  Seen seen;
  services.duringBox = [&] {
    if (services.boxes.size() == 1) seen.statusBeforeBox = !model.Status(0).empty();
  };
  Show(shown, detail, line, model, services);
  seen.status = model.Status(0);
  seen.boxes = services.boxes;
  return seen;
}

TEST(OutcomeTexts, EveryOutcomeShowsSomething) {
  for (int i = 0; i < cddb::kLookupEventCount; ++i) {
    const auto event = static_cast<cddb::LookupEvent>(i);
    const Seen seen = ShowOnce(TextOf(event));
    const bool dialogOnly =
        event == cddb::LookupEvent::MatchChosen || event == cddb::LookupEvent::ChoiceCancelled;
    EXPECT_EQ(seen.status.empty() && seen.boxes.empty(), dialogOnly) << "lookup event " << i;
  }
  for (int i = 0; i < disc::kDriveEventCount; ++i) {
    const Seen seen = ShowOnce(TextOf(static_cast<disc::DriveEvent>(i)));
    EXPECT_FALSE(seen.status.empty() && seen.boxes.empty()) << "drive event " << i;
  }
  for (int i = 0; i < kWindowEventCount; ++i) {
    const Seen seen = ShowOnce(TextOf(static_cast<WindowEvent>(i)));
    EXPECT_FALSE(seen.status.empty() && seen.boxes.empty()) << "window event " << i;
  }
  for (int i = 0; i < player::kPlayerEventCount; ++i) {
    const Seen seen = ShowOnce(TextOf(static_cast<player::PlayerEvent>(i)));
    EXPECT_FALSE(seen.status.empty() && seen.boxes.empty()) << "player event " << i;
  }
  for (int i = 0; i < submit::kSubmitReplyCount; ++i) {
    const Seen seen = ShowOnce(TextOf(static_cast<submit::SubmitReply>(i)));
    EXPECT_FALSE(seen.status.empty()) << "submit reply " << i;
  }
  for (int i = 0; i < settings::kOptionEventCount; ++i) {
    const Seen seen = ShowOnce(TextOf(static_cast<settings::OptionEvent>(i)));
    EXPECT_FALSE(seen.status.empty() && seen.boxes.empty()) << "option event " << i;
  }
}

TEST(OutcomeTexts, BoxesAndStatusComeInTheirOrder) {
  using E = cddb::LookupEvent;
  // A box that says what went wrong comes first where the status then
  // sums it up; a success is written to the status before its box.
  struct Case {
    E event;
    bool statusFirst;
  } cases[] = {{E::ConnectionFailed, false}, {E::NoMatch, false},        {E::SitesSaved, false},
               {E::SitesNotSaved, false},    {E::EntryArrived, true},    {E::ServerFault, true},
               {E::DatabaseFault, true},     {E::HandshakeFailed, true}, {E::CommandRefused, true}};
  for (const auto& c : cases) {
    const Seen seen = ShowOnce(TextOf(c.event));
    ASSERT_EQ(seen.boxes.size(), 1u) << static_cast<int>(c.event);
    EXPECT_FALSE(seen.status.empty());
    EXPECT_EQ(seen.statusBeforeBox, c.statusFirst) << static_cast<int>(c.event);
  }
  EXPECT_FALSE(ShowOnce(TextOf(WindowEvent::NoDisc)).statusBeforeBox);
  EXPECT_FALSE(ShowOnce(TextOf(WindowEvent::SubmitInvalid)).statusBeforeBox);
  EXPECT_FALSE(ShowOnce(TextOf(submit::SubmitReply::NoAnswer)).statusBeforeBox);
}

TEST(OutcomeTexts, DetailsLandWhereTheyGo) {
  // A reason follows its box's first line; a refusing server's own line is
  // shown cleaned; a status may end with the detail or be the detail.
  Seen seen = ShowOnce(TextOf(cddb::LookupEvent::SitesNotSaved), "disk full");
  EXPECT_EQ(seen.boxes.at(0).text, "サーバリストを保存できませんでした。\ndisk full");
  EXPECT_EQ(seen.status, "サーバリスト保存失敗");

  seen = ShowOnce(TextOf(cddb::LookupEvent::CommandRefused), "", "530 bad\x01thing");
  EXPECT_EQ(seen.boxes.at(0).text, "サーバからの応答：530 bad thing");
  EXPECT_EQ(seen.status, "コマンドエラー");

  seen = ShowOnce(TextOf(WindowEvent::DiscIdShown), "23026203");
  EXPECT_EQ(seen.status, "DISCID : 23026203");
  EXPECT_TRUE(seen.boxes.empty());

  seen = ShowOnce(TextOf(submit::SubmitReply::Answered), "200 OK, submission has been sent.");
  EXPECT_EQ(seen.status, "200 OK, submission has been sent.");

  seen = ShowOnce(TextOf(disc::DriveEvent::NodesUnopenable), "CD-ROMドライブ /dev/sr0 を開けません");
  EXPECT_EQ(seen.boxes.at(0).text, "CD-ROMドライブ /dev/sr0 を開けません");
  EXPECT_EQ(seen.boxes.at(0).icon, shell::MsgIcon::Warning);
}

TEST(OutcomeTexts, LookupHooksAskThroughTheServices) {
  shell::ShellModel model;
  test::RecordingServices services;
  services.inputAnswers.push_back("me@example.org");
  services.matchAnswers.push_back(2);
  const cddb::LookupHooks hooks = LookupHooksFor(model, services);
  EXPECT_EQ(hooks.askEmail("anonymous@dummy.invalid"), "me@example.org");
  EXPECT_EQ(hooks.askEmail("anonymous@dummy.invalid"), "anonymous@dummy.invalid");  // cancelled
  shell::MatchDialogModel dialog;
  dialog.rows.assign(3, {});
  EXPECT_EQ(hooks.chooseMatch(dialog), 2);
  hooks.busy(true);
  EXPECT_EQ(services.busyDepth, 1);
  hooks.busy(false);
  EXPECT_EQ(services.busyDepth, 0);
}

TEST(OutcomeTexts, PlayerReportsAndTheFailedReadQuestion) {
  shell::ShellModel model;
  test::RecordingServices services;
  const player::PlayerHooks hooks = PlayerHooksFor(model, services);
  using player::PlayerEvent;
  hooks.report({PlayerEvent::CreateFailed, "DSMPControl", 0x80004005u, {}});
  hooks.report({PlayerEvent::InterfaceFailed, "IDSMPMenu", 0x80004002u, {}});
  hooks.report({PlayerEvent::VersionUnsupported, {}, 0, {}});
  hooks.report({PlayerEvent::SettingsNotSaved, {}, 0, "read-only"});
  ASSERT_EQ(services.boxes.size(), 4u);
  EXPECT_EQ(services.boxes[0].text, "DSMPControl Create Instance Error[80004005]");
  EXPECT_EQ(services.boxes[1].text, "IDSMPMenu Interface Error[80004002]");
  EXPECT_EQ(services.boxes[2].text, "このバージョンのDSMPには対応していません\n対応版をお使いください");
  EXPECT_EQ(services.boxes[2].icon, shell::MsgIcon::Warning);
  EXPECT_EQ(services.boxes[3].text, "read-only");
  EXPECT_EQ(services.boxes[3].icon, shell::MsgIcon::Error);
  EXPECT_TRUE(model.Status(0).empty());

  // The question names the call and the reason, or the code when the
  // system has no text for it; the asked text comes back with the answer.
  services.questionAnswers.push_back(shell::MsgAnswer::Yes);
  const player::FailedReadAnswer yes = hooks.askOnFailedRead({"IDSMPControl::get_Track", -2147467259, ""});
  EXPECT_EQ(yes.answer, shell::MsgAnswer::Yes);
  EXPECT_EQ(yes.asked,
            "IDSMPControl::get_Track failed: Error 0x80004005 (-2147467259)\n"
            "Press [Y]es to terminate, [N]o to continue and [C]ancel to Debug");
  ASSERT_EQ(services.questions.size(), 1u);
  EXPECT_EQ(services.questions[0].caption, "HRCHECK: ");
  EXPECT_EQ(services.questions[0].text, yes.asked);
  EXPECT_EQ(services.questions[0].buttons, shell::MsgButtons::YesNoCancel);
  EXPECT_EQ(hooks.askOnFailedRead({"x", 1, "why"}).answer, shell::MsgAnswer::No);
  EXPECT_EQ(services.questions[1].text.rfind("x failed: why\n", 0), 0u);
}

TEST(OutcomeTexts, OptionReportsShowTheirBoxes) {
  shell::ShellModel model;
  test::RecordingServices services;
  const settings::OptionHook hook = OptionHookFor(model, services);
  hook({settings::OptionEvent::ServerNotSaved, "disk full"});
  hook({settings::OptionEvent::ServerListFull, {}});
  ASSERT_EQ(services.boxes.size(), 2u);
  EXPECT_EQ(services.boxes[0].text, "サーバの設定を保存できませんでした。\ndisk full");
  EXPECT_EQ(services.boxes[1].text, "これ以上サーバを登録できません。");
  EXPECT_EQ(services.boxes[1].icon, shell::MsgIcon::Error);
}

TEST(OutcomeTexts, ExportGapsNameTheirFirstTracksAndCountTheRest) {
  ExportGaps gaps;
  EXPECT_TRUE(gaps.Empty());
  EXPECT_EQ(ExportGapsText(gaps), "");
  gaps.listTitle = true;
  gaps.tooLong = {3};
  EXPECT_FALSE(gaps.Empty());
  EXPECT_EQ(ExportGapsText(gaps), "プレイリスト名 / 曲名かアーティスト名が長すぎる曲: 3");
  ExportGaps many;
  for (int t = 1; t <= 23; ++t) many.unwritten.push_back(t);
  many.unreadable = {7, 9};
  EXPECT_EQ(
      ExportGapsText(many),
      "読み取れない曲: 7, 9 / 書き込めない曲: 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, "
      "18, 19, 20 ほか3曲");
}

TEST(OutcomeTexts, ACheckFailureNamesFieldsThenCharactersInTheirOrder) {
  using Field = submit::CheckResult::FieldProblem::Field;
  submit::CheckResult check;
  check.ok = false;
  check.unencodable = {"😀"};
  check.doubleByte = {"山"};
  check.lineBreaks = {std::string(1, '\0')};
  check.fieldProblems = {{Field::Year, "19999"}, {Field::Category, "pop"}};
  EXPECT_EQ(CheckFailureText(check),
            "入力漏れがあるか全角文字があります。\n"
            "年（DYEAR）「19999」は空欄か4桁までの数字にしてください。\n"
            "カテゴリ「pop」はCDDBのカテゴリ（blues, classical, country, data, folk, jazz, misc, newage, "
            "reggae, rock, soundtrack）ではありません。\n"
            "U+0000 は行を終わらせてしまうため送れない文字です。\n"
            "「山」(U+5C71) はこのサーバに送れない全角文字です。\n"
            "「😀」(U+1F600) は送信先の文字コードで表せない文字です。");
}

TEST(OutcomeTexts, SubmitRepliesShowTheirStatus) {
  // No answer: the box first, then the status; an HTTP failure and a reply
  // without a code only the status; an answer its own line.
  Seen seen = ShowOnce(TextOf(submit::SubmitReply::NoAnswer));
  EXPECT_EQ(seen.status, "接続できません。");
  ASSERT_EQ(seen.boxes.size(), 1u);
  EXPECT_EQ(seen.boxes[0].text, "接続に失敗しました。");
  EXPECT_EQ(seen.boxes[0].icon, shell::MsgIcon::Warning);
  seen = ShowOnce(TextOf(submit::SubmitReply::HttpFailed));
  EXPECT_EQ(seen.status, "接続できません。");
  EXPECT_TRUE(seen.boxes.empty());
  seen = ShowOnce(TextOf(submit::SubmitReply::NoStatusCode));
  EXPECT_EQ(seen.status, "応答コードなし");
  EXPECT_TRUE(seen.boxes.empty());
}

TEST(OutcomeTexts, TheWindowsOwnBoxTextsReadInFull) {
  // Pinned word for word: these are what the user reads when an entry is
  // refused before it is sent and when the proxy port is not a number.
  EXPECT_EQ(PortNotANumberText("80a"), "ポート番号「80a」は整数ではありません。");
  EXPECT_EQ(RevisionTooHighText(2147483648LL),
            "入力漏れがあるか全角文字があります。\nこの曲情報のリビジョン 2147483648 はサーバが扱える最大値 "
            "2147483647 を超えているため、訂正できません。");
  EXPECT_EQ(EntryTooLargeText(), "入力漏れがあるか全角文字があります。\n送信する曲情報が大きすぎます。");
  EXPECT_STREQ(kNoTocToSubmitText, "CDの目次が読み込まれていないため送信できません。");
  EXPECT_STREQ(kEmailUnsendableText, "メールアドレスを送信できません。オプションで設定し直してください。");
  EXPECT_STREQ(kRegisterArtistQuestion, "アーティスト名も登録しますか？。");
  // Each is shown through the SubmitInvalid row: the text as the box, then
  // the status.
  const Seen seen = ShowOnce(TextOf(WindowEvent::SubmitInvalid), EntryTooLargeText());
  EXPECT_EQ(seen.status, "曲情報が不適切です");
  ASSERT_EQ(seen.boxes.size(), 1u);
  EXPECT_EQ(seen.boxes[0].text, EntryTooLargeText());
  EXPECT_FALSE(seen.statusBeforeBox);
}

}  // namespace
}  // namespace sl::mainform
