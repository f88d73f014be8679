#include "mainform/outcome_texts.h"

#include <cerrno>
#include <cstdio>

#include "submit/submit.h"

namespace sl::mainform {

namespace {

using Box = ShownText::Box;
using Status = ShownText::Status;
using shell::MsgIcon;

constexpr ShownText StatusOnly(const char* text) {
  return {Status::Text, text, Box::None, MsgIcon::Information, "", false};
}
constexpr ShownText Nothing() { return {}; }

// Most characters of a server's line that are shown.
std::string ShownLine(std::string_view line) { return cddb::ShownServerLine(line); }

}  // namespace

ShownText TextOf(cddb::LookupEvent event) {
  using E = cddb::LookupEvent;
  switch (event) {
    case E::Querying: return StatusOnly("タイトル取得中");
    case E::Reading: return StatusOnly("曲名取得中");
    case E::FetchingSites: return StatusOnly("サーバリスト取得中");
    case E::ConnectionFailed:
      return {Status::Text, "接続できません。", Box::Text, MsgIcon::Warning, "接続に失敗しました。", true};
    case E::HttpFailed: return StatusOnly("接続できません。");
    case E::ExactMatch: return StatusOnly("タイトル取得完了");
    case E::NoMatch:
      return {Status::Text,
              "該当タイトルなし",
              Box::Text,
              MsgIcon::Information,
              "一致するタイトルはありませんでした。",
              true};
    case E::EntryArrived:
      return {Status::Text, "曲名取得完了", Box::Text, MsgIcon::Information, "曲名取得完了しました。", false};
    case E::SitesSaved:
      return {Status::Text,
              "サーバリスト取得完了",
              Box::Text,
              MsgIcon::Information,
              "サーバリストの取得が完了しました。",
              true};
    case E::SitesNotSaved:
      return {Status::Text,
              "サーバリスト保存失敗",
              Box::TextThenDetail,
              MsgIcon::Warning,
              "サーバリストを保存できませんでした。",
              true};
    case E::NoEntry: return StatusOnly("該当なし");
    case E::NoMirrors: return StatusOnly("ミラーサーバなし");
    case E::ServerFault:
      return {Status::Text, "サーバ側でエラー発生", Box::ServerLine, MsgIcon::Information, "", false};
    case E::DatabaseFault:
      return {Status::Text, "データベース異常", Box::ServerLine, MsgIcon::Information, "", false};
    case E::HandshakeFailed:
      return {Status::Text, "接続失敗", Box::ServerLine, MsgIcon::Information, "", false};
    case E::CommandRefused:
      return {Status::Text, "コマンドエラー", Box::ServerLine, MsgIcon::Information, "", false};
    case E::Malformed: return StatusOnly("応答コードなし");
    // The dialog itself was what the user saw.
    case E::MatchChosen:
    case E::ChoiceCancelled: return Nothing();
    case E::EmailNotSaved:
      return {
          Status::None, "", Box::TextThenDetail, MsgIcon::Warning, "メールアドレスを保存できませんでした。",
          false};
  }
  return Nothing();
}

ShownText TextOf(disc::DriveEvent event) {
  using E = disc::DriveEvent;
  switch (event) {
    case E::LayerNotLoaded:
      return {Status::None, "", Box::Text, MsgIcon::Error, "WNASPI32.DLLがロードできません", false};
    case E::LayerUnusable:
      return {Status::None, "", Box::Text, MsgIcon::Error, "正常にWNASPI32.DLLを初期化できませんでした",
              false};
    case E::DeviceFound: return StatusOnly("デバイスあり");
    case E::NoDevice: return StatusOnly("デバイスなし");
    case E::NodesUnopenable: return {Status::None, "", Box::Detail, MsgIcon::Warning, "", false};
    case E::DrivesChecked: return StatusOnly("チェック完了");
    case E::AbortFailed:
      return {Status::None, "", Box::Text, MsgIcon::Error, "アボートに失敗しました", false};
  }
  return Nothing();
}

ShownText TextOf(WindowEvent event) {
  using E = WindowEvent;
  switch (event) {
    case E::DrivesChecked: return StatusOnly("チェック完了");
    case E::DiscIdShown:
      return {Status::TextThenDetail, "DISCID : ", Box::None, MsgIcon::Information, "", false};
    case E::DriveCannotBeOpened:
      return {Status::Text, "ドライブを開けません", Box::Detail, MsgIcon::Error, "", true};
    case E::NoDisc:
      return {Status::Text, "CDなし", Box::Text, MsgIcon::Error, "CDがセットされていません。", true};
    case E::TitlesNotSaved:
      // The titles stay in the window; the box says plainly that they were
      // not saved.
      return {Status::None,
              "",
              Box::TextThenDetail,
              MsgIcon::Error,
              "ローカルデータベースに保存できませんでした。",
              false};
    case E::PlayerAbsent: return StatusOnly("DSMPと接続できません。");
    case E::ImportDone: return StatusOnly("DSMPからリスト取込完了");
    case E::ExportIncomplete:
      return {Status::TextThenDetail,
              "DSMPに転送できなかった項目があります: ",
              Box::None,
              MsgIcon::Information,
              "",
              false};
    case E::ExportDone: return StatusOnly("DSMPに転送完了しました。");
    case E::PortNotANumber: return {Status::None, "", Box::Detail, MsgIcon::Error, "", false};
    case E::SettingsNotSaved:
      return {Status::None, "", Box::TextThenDetail, MsgIcon::Error, "設定を保存できませんでした。", false};
    case E::SubmitInvalid:
      return {Status::Text, "曲情報が不適切です", Box::Detail, MsgIcon::Information, "", true};
    case E::Sending: return StatusOnly("送信中");
    case E::CdTextRead: return StatusOnly("CD-Textから読み込み");
    case E::MusicBrainzSearching: return StatusOnly("MusicBrainz検索中");
    case E::MusicBrainzFound: return StatusOnly("MusicBrainz取得完了");
    case E::MusicBrainzNoMatch: return StatusOnly("MusicBrainzに該当なし");
    case E::NoMusicBrainzId:
      return {Status::None,
              "",
              Box::Text,
              MsgIcon::Information,
              "このCDにはMusicBrainzに登録できるオーディオトラックがありません。",
              false};
    case E::SourcesRefused:
      return {Status::None,
              "",
              Box::TextThenDetail,
              MsgIcon::Error,
              "情報源タブの入力に誤りがあるため、オプションは保存していません。",
              false};
  }
  return Nothing();
}

ShownText TextOf(submit::SubmitReply reply) {
  using R = submit::SubmitReply;
  switch (reply) {
    case R::NoAnswer:
      return {Status::Text, "接続できません。", Box::Text, MsgIcon::Warning, "接続に失敗しました。", true};
    case R::HttpFailed: return StatusOnly("接続できません。");
    case R::NoStatusCode: return StatusOnly("応答コードなし");
    // The server's own line, as it wrote it.
    case R::Answered: return {Status::Detail, "", Box::None, MsgIcon::Information, "", false};
  }
  return Nothing();
}

ShownText TextOf(player::PlayerEvent event) {
  using E = player::PlayerEvent;
  switch (event) {
    case E::CreateFailed:
    case E::InterfaceFailed:
    case E::CallFailed:
    case E::SettingsNotSaved: return {Status::None, "", Box::Detail, MsgIcon::Error, "", false};
    case E::VersionUnsupported:
      return {Status::None,
              "",
              Box::Text,
              MsgIcon::Warning,
              "このバージョンのDSMPには対応していません\n対応版をお使いください",
              false};
  }
  return Nothing();
}

ShownText TextOf(musicbrainz::LookupOutcome outcome) {
  using O = musicbrainz::LookupOutcome;
  switch (outcome) {
    case O::Found:
    case O::CommandRunning: return Nothing();
    case O::NotFound: return TextOf(WindowEvent::MusicBrainzNoMatch);
    case O::CannotConnect:
    case O::TimedOut: return TextOf(cddb::LookupEvent::ConnectionFailed);
    case O::Busy:
    case O::HttpError:
    case O::TooLarge:
    case O::NoLibrary:
    case O::Aborted: return TextOf(cddb::LookupEvent::HttpFailed);
    case O::BadReply: return TextOf(cddb::LookupEvent::Malformed);
  }
  return Nothing();
}

ShownText TextOf(settings::OptionEvent event) {
  using E = settings::OptionEvent;
  switch (event) {
    case E::ServerNotSaved:
      return {Status::None, "", Box::TextThenDetail, MsgIcon::Error, "サーバの設定を保存できませんでした。",
              false};
    case E::ServerListFull:
      return {Status::None, "", Box::Text, MsgIcon::Error, "これ以上サーバを登録できません。", false};
    case E::SourcesRefused: return TextOf(WindowEvent::SourcesRefused);
  }
  return Nothing();
}

void Show(const ShownText& shown, const std::string& detail, std::string_view serverLine,
          shell::ShellModel& model, shell::ShellServices& services) {
  auto box = [&] {
    switch (shown.box) {
      case Box::None: return;
      case Box::Text: services.MessageBox(shown.icon, shown.boxText); return;
      case Box::TextThenDetail:
        services.MessageBox(shown.icon, std::string(shown.boxText) + "\n" + detail);
        return;
      case Box::Detail: services.MessageBox(shown.icon, detail); return;
      case Box::ServerLine: services.MessageBox(shown.icon, ServerReplyBoxText(serverLine)); return;
    }
  };
  auto status = [&] {
    switch (shown.status) {
      case Status::None: return;
      case Status::Text: model.SetStatus(0, shown.statusText); return;
      case Status::TextThenDetail: model.SetStatus(0, shown.statusText + detail); return;
      case Status::Detail: model.SetStatus(0, detail); return;
    }
  };
  if (shown.boxFirst) {
    box();
    status();
  } else {
    status();
    box();
  }
}

void Show(WindowEvent event, shell::ShellModel& model, shell::ShellServices& services,
          const std::string& detail) {
  Show(TextOf(event), detail, {}, model, services);
}

cddb::LookupHooks LookupHooksFor(shell::ShellModel& model, shell::ShellServices& services,
                                 const bool* otherSourceFollows) {
  cddb::LookupHooks hooks;
  hooks.report = [&model, &services, otherSourceFollows](const cddb::LookupReport& r) {
    ShownText shown = TextOf(r.event);
    if (r.event == cddb::LookupEvent::NoMatch && otherSourceFollows && *otherSourceFollows)
      shown.box = ShownText::Box::None;
    Show(shown, r.detail, r.serverLine, model, services);
  };
  hooks.chooseMatch = [&services](shell::MatchDialogModel& dialog) {
    return services.ShowMatchDialog(dialog);
  };
  hooks.askEmail = [&services](const std::string& placeholder) {
    return services.InputBox("メールアドレスの登録", "メールアドレスを入力してください。", placeholder);
  };
  hooks.busy = [&services](bool busy) { services.SetBusyCursor(busy); };
  return hooks;
}

disc::DriveHook DriveHookFor(shell::ShellModel& model, shell::ShellServices& services) {
  return [&model, &services](const disc::DriveReport& r) {
    Show(TextOf(r.event), r.problems.empty() ? std::string() : DeviceProblemText(r.problems), {}, model,
         services);
  };
}

player::PlayerHooks PlayerHooksFor(shell::ShellModel& model, shell::ShellServices& services) {
  player::PlayerHooks hooks;
  hooks.report = [&model, &services](const player::PlayerReport& r) {
    const bool bindFailure =
        r.event == player::PlayerEvent::CreateFailed || r.event == player::PlayerEvent::InterfaceFailed;
    Show(TextOf(r.event), bindFailure ? PlayerBindFailureText(r) : r.detail, {}, model, services);
  };
  hooks.askOnFailedRead = [&services](const player::FailedRead& read) {
    player::FailedReadAnswer reply;
    reply.asked = FailedReadText(read);
    reply.answer = services.QuestionBox(kFailedReadCaption, reply.asked, shell::MsgButtons::YesNoCancel);
    return reply;
  };
  return hooks;
}

settings::OptionHook OptionHookFor(shell::ShellModel& model, shell::ShellServices& services) {
  return [&model, &services](const settings::OptionReport& r) {
    Show(TextOf(r.event), r.detail, {}, model, services);
  };
}

std::string FailedReadText(const player::FailedRead& read) {
  std::string reason = read.reason;
  if (reason.empty()) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Error 0x%08X (%d)", static_cast<unsigned>(read.code), read.code);
    reason = buf;
  }
  return read.call + " failed: " + reason +
         "\nPress [Y]es to terminate, [N]o to continue and [C]ancel to Debug";
}

std::string PlayerBindFailureText(const player::PlayerReport& report) {
  char code[16];
  std::snprintf(code, sizeof code, "%X", report.code);
  const char* what =
      report.event == player::PlayerEvent::CreateFailed ? " Create Instance Error[" : " Interface Error[";
  return report.name + what + code + "]";
}

std::string ServerReplyBoxText(std::string_view line) {
  std::string text = "サーバからの応答：" + ShownLine(line);
  if (cddb::NamesUnknownClient(line)) text += std::string("\n") + kUnknownClientHint;
  return text;
}

std::string DeviceProblemText(const std::vector<std::pair<std::string, int>>& problems) {
  std::string text;
  bool permission = false;
  for (const auto& [node, error] : problems) {
    const char* why;
    switch (error) {
      case EACCES:
      case EPERM:
        why = "アクセスが許可されていません";
        permission = true;
        break;
      case ENOENT: why = "デバイスファイルがありません"; break;
      case EBUSY: why = "ほかのプログラムが使用中です"; break;
      case ENXIO:
      case ENODEV: why = "デバイスが応答しません"; break;
      default: why = "開けません"; break;
    }
    text += "CD-ROMドライブ " + node + " を開けません（" + why + "）。\n";
  }
  if (permission) {
    text +=
        "ドライブを使うには、このユーザーを cdrom グループに加えて（例: sudo usermod -aG cdrom "
        "$USER の後、ログインし直す）か、udev ルールで読み取りを許可してください。";
  } else if (!text.empty()) {
    text.pop_back();
  }
  return text;
}

std::string ExportGapsText(const ExportGaps& gaps) {
  constexpr std::size_t kNamed = 20;
  std::vector<std::string> parts;
  if (gaps.listTitle) parts.push_back("プレイリスト名");
  auto list = [&parts](const char* what, const std::vector<int>& tracks) {
    if (tracks.empty()) return;
    std::string s = std::string(what) + ": ";
    for (std::size_t i = 0; i < tracks.size() && i < kNamed; ++i) {
      if (i) s += ", ";
      s += std::to_string(tracks[i]);
    }
    if (tracks.size() > kNamed) s += " ほか" + std::to_string(tracks.size() - kNamed) + "曲";
    parts.push_back(std::move(s));
  };
  list("読み取れない曲", gaps.unreadable);
  list("曲名かアーティスト名が長すぎる曲", gaps.tooLong);
  list("書き込めない曲", gaps.unwritten);
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? " / " : "") + parts[i];
  return text;
}

std::string PortNotANumberText(const std::string& portText) {
  return "ポート番号「" + portText + "」は整数ではありません。";
}

std::string RevisionTooHighText(long long revision) {
  return std::string(kSubmitInvalidText) + "\nこの曲情報のリビジョン " + std::to_string(revision) +
         " はサーバが扱える最大値 " + std::to_string(cddb::kMaxServerRevision) +
         " を超えているため、訂正できません。";
}

namespace {

// "U+XXXX" for one UTF-8 encoded character.
std::string CodePoint(std::string_view ch) {
  char32_t cp = static_cast<unsigned char>(ch[0]);
  if (ch.size() > 1) {
    cp &= 0xFFu >> (ch.size() + 1);
    for (std::size_t k = 1; k < ch.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(ch[k]) & 0x3F);
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
  return buf;
}

}  // namespace

std::string CheckFailureText(const submit::CheckResult& check) {
  using Field = submit::CheckResult::FieldProblem::Field;
  std::string text = kSubmitInvalidText;
  for (const auto& problem : check.fieldProblems) {
    if (problem.field == Field::Year) {
      text += "\n年（DYEAR）「" + problem.value + "」は空欄か4桁までの数字にしてください。";
    } else {
      std::string names;
      for (const char* c : submit::kCategories) names += (names.empty() ? "" : ", ") + std::string(c);
      text += "\nカテゴリ「" + problem.value + "」はCDDBのカテゴリ（" + names + "）ではありません。";
    }
  }
  for (const auto& ch : check.lineBreaks)
    text += "\n" + CodePoint(ch) + " は行を終わらせてしまうため送れない文字です。";
  for (const auto& ch : check.doubleByte)
    text += "\n「" + ch + "」(" + CodePoint(ch) + ") はこのサーバに送れない全角文字です。";
  for (const auto& ch : check.unencodable)
    text += "\n「" + ch + "」(" + CodePoint(ch) + ") は送信先の文字コードで表せない文字です。";
  return text;
}

std::string EntryTooLargeText() {
  return std::string(kSubmitInvalidText) + "\n送信する曲情報が大きすぎます。";
}

std::string UndecodableText(const cddb::UndecodableBytes& bytes) {
  if (bytes.Empty()) return {};
  return "サーバの応答のバイト " + bytes.bytes + " はコードページ " + bytes.codePage + " で読めません。";
}

}  // namespace sl::mainform
