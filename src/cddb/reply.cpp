// The lookup's reply handling: the status code of a reply, the match line,
// the match list, a database entry and the server list.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "cddb/cddb.h"
#include "cddb/internal.h"
#include "settings/serverlist.h"
#include "text/codepage.h"

namespace sl::cddb {

namespace {

using detail::kMaxTrackTitles;

// The status code: the first three characters of the line read as a decimal
// number (a sign and leading blanks allowed). nullopt when they are not one.
std::optional<int> StatusCode(const std::string& line) {
  const std::string_view head = std::string_view(line).substr(0, 3);
  std::size_t i = 0;
  while (i < head.size() && head[i] == ' ') ++i;
  bool negative = false;
  if (i < head.size() && (head[i] == '+' || head[i] == '-')) negative = head[i++] == '-';
  if (i == head.size()) return std::nullopt;
  int value = 0;
  for (; i < head.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(head[i]))) return std::nullopt;
    value = value * 10 + (head[i] - '0');
  }
  return negative ? -value : value;
}

// Whether a reply body ends with the terminator line "." of a list (blank
// lines after it tolerated). A list reply without it was cut short: a
// connection that ended early. Taken as whole, it would fill and save part
// of an entry as if it were all of it.
bool EndsWithTerminator(std::string_view body) {
  const auto last = body.find_last_not_of(" \t\r\n");
  if (last == std::string_view::npos || body[last] != '.') return false;
  return last == 0 || body[last - 1] == '\n' || body[last - 1] == '\r';
}

// The lines of a list reply between the status line and the terminator line
// (blank lines after the terminator dropped). `terminated`: the body ends
// with the terminator (the lines may stop earlier, at the bound on lines
// taken). nullopt for a list cut short.
std::optional<std::vector<std::string>> ListBody(const std::vector<std::string>& lines, bool terminated) {
  if (!terminated) return std::nullopt;
  std::size_t end = lines.size();
  while (end > 2 && lines[end - 1].find_first_not_of(" \t") == std::string::npos) --end;
  if (end < 2) return std::nullopt;
  return std::vector<std::string>(lines.begin() + 1, lines.begin() + static_cast<std::ptrdiff_t>(end) - 1);
}

// The bytes at `offsets` of `raw`, a run of adjacent ones joined by a
// blank, others by ", ", at most kMaxNamed of them ("…" after).
std::string UndecodableBytesList(std::string_view raw, const std::vector<std::size_t>& offsets) {
  constexpr std::size_t kMaxNamed = 8;
  std::string out;
  char hex[8];
  for (std::size_t i = 0; i < offsets.size() && i < kMaxNamed; ++i) {
    if (i > 0) out += offsets[i] == offsets[i - 1] + 1 ? " " : ", ";
    std::snprintf(hex, sizeof hex, "0x%02X",
                  static_cast<unsigned>(static_cast<unsigned char>(raw[offsets[i]])));
    out += hex;
  }
  if (offsets.size() > kMaxNamed) out += " …";
  return out;
}

}  // namespace

void CddbLookup::HandleCddbReply(int) {
  // Reply bodies arrive in the external code page (or UTF-8). Only as many
  // lines as the program can use are decoded and split: a list of millions
  // of lines must not take memory by the gigabyte. The cut is made on the
  // raw bytes, where a line end is never part of a character.
  const std::string_view raw = RawLines(http.Body, kMaxReplyLines);
  std::vector<std::size_t> undecodable;
  const std::vector<std::string> lines =
      SplitLines(ServerUtf8 ? text::SanitizeUtf8(raw, &undecodable) : text::FromExternal(raw, &undecodable),
                 kMaxReplyLines);
  undecodable_ = {};
  if (!undecodable.empty()) {
    undecodable_.bytes = UndecodableBytesList(raw, undecodable);
    undecodable_.codePage = ServerUtf8 ? std::string("UTF-8") : text::ExternalCodePageName();
  }
  // The status line as received: a 200 reply's match line is cut from it.
  const std::string_view rawStatusLine = raw.substr(0, raw.find_first_of("\r\n"));
  HandleReply(lines, rawStatusLine, EndsWithTerminator(http.Body));
}

void CddbLookup::HandleReply(const std::vector<std::string>& lines, std::string_view rawStatusLine,
                             bool terminated) {
  const std::optional<int> code = lines.empty() ? std::nullopt : StatusCode(lines[0]);
  if (!code) {
    Report({LookupEvent::Malformed, 0, {}, "no reply code"}, ReplyOutcome::Malformed);
    return;
  }
  const std::string& statusLine = lines[0];
  auto refused = [&](LookupEvent event) {
    // The server's own line says what went wrong (an unregistered client, a
    // bad hello, ...). One box per command: a refused query ends the
    // command, and a read follows only a query that was not refused.
    Report({event, *code, statusLine, {}}, ReplyOutcome::Refused);
  };
  // A list cut short (or listing nothing) is refused before anything says it
  // arrived: taken as whole, it would fill and save part of an entry.
  auto list = [&]() { return ListBody(lines, terminated); };
  auto malformed = [&](const char* why) {
    Report({LookupEvent::Malformed, *code, {}, why}, ReplyOutcome::Malformed);
  };
  auto offerMatches = [&]() {
    const auto matches = list();
    if (!matches) return malformed("list reply without terminator");
    if (!SelectMatch(*matches)) malformed("empty match list");
  };
  switch (*code) {
    case 200: {
      Report({LookupEvent::ExactMatch, 200, {}, {}}, ReplyOutcome::Done);
      // The match line follows the code and its blank. It is cut off on
      // the bytes as received: cut on the decoded text, a character that
      // took the place of the blank would be split in half.
      const std::string_view matchLine =
          rawStatusLine.size() > 4 ? rawStatusLine.substr(4) : std::string_view();
      CheckReplyCode(ServerUtf8 ? text::SanitizeUtf8(matchLine) : text::FromExternal(matchLine));
      model_.Table().SetCategory(MatchCategory);
      model_.Table().SetArtist(MatchArtist);
      model_.Table().SetTitle(MatchTitle);
      return;
    }
    case 202: Report({LookupEvent::NoMatch, 202, {}, {}}, ReplyOutcome::NotFound); return;
    case 210:
      if (RequestKind == Read) {
        const auto entry = list();
        if (!entry) return malformed("entry without terminator");
        Report({LookupEvent::EntryArrived, 210, {}, {}}, ReplyOutcome::Done);
        ApplyEntry(*entry);
        if (onEntryApplied) onEntryApplied();
      } else if (RequestKind == Sites) {
        const auto body = list();
        if (!body) return malformed("server list without terminator");
        // The list is merged first: success is reported only for a list
        // that the settings file took.
        std::string error;
        if (settings_ && !settings::SetServerList(*settings_, *body, &error)) {
          Report({LookupEvent::SitesNotSaved, 210, {}, error}, ReplyOutcome::MergeRefused);
          return;
        }
        Report({LookupEvent::SitesSaved, 210, {}, {}}, ReplyOutcome::Done);
        if (settings_) settings::GetServerList(*settings_, model_);
      } else {
        offerMatches();
      }
      return;
    case 211: offerMatches(); return;
    case 401:
      Report({RequestKind == Sites ? LookupEvent::NoMirrors : LookupEvent::NoEntry, 401, {}, {}},
             ReplyOutcome::NotFound);
      return;
    case 402: return refused(LookupEvent::ServerFault);
    case 403: return refused(LookupEvent::DatabaseFault);
    case 409: return refused(LookupEvent::HandshakeFailed);
    default: return refused(LookupEvent::CommandRefused);
  }
}

void CddbLookup::CheckReplyCode(std::string_view line) {
  std::string_view rest = line;
  auto p = rest.find(' ');
  if (p == std::string_view::npos) {
    MatchCategory.clear();
  } else {
    MatchCategory = std::string(rest.substr(0, p));
    rest = rest.substr(p + 1);
  }
  p = rest.find(' ');
  if (p == std::string_view::npos) {
    MatchDiscId.clear();
  } else {
    MatchDiscId = std::string(rest.substr(0, p));
    rest = rest.substr(p + 1);
  }
  const auto sep = rest.find(" / ");
  if (sep == std::string_view::npos) {
    MatchArtist.clear();
    MatchTitle = std::string(rest);
  } else {
    MatchArtist = std::string(rest.substr(0, sep));
    MatchTitle = std::string(rest.substr(sep + 3));
  }
}

void CddbLookup::ApplyEntry(const std::vector<std::string>& lines) {
  // Each key once, its continuation lines joined: a long title comes whole.
  const std::map<std::string, std::string> values = EntryValues(lines);
  auto value = [&values](const std::string& key) -> const std::string& {
    static const std::string kNone;
    const auto it = values.find(key);
    return it == values.end() ? kNone : it->second;
  };
  // The match line carries the disc title on one line; a server that cut a
  // long one there still has all of it in the entry's DTITLE lines. Only a
  // cut title is replaced: a title the match line gives whole stays as the
  // window shows it.
  const std::string& dtitle = value("DTITLE");
  const std::string shown = MatchArtist.empty() ? MatchTitle : MatchArtist + " / " + MatchTitle;
  if (!shown.empty() && dtitle.size() > shown.size() && dtitle.compare(0, shown.size(), shown) == 0 &&
      model_.Table().Artist() == MatchArtist && model_.Table().Title() == MatchTitle) {
    const auto sep = dtitle.find(" / ");
    model_.Table().SetArtist(sep == std::string::npos ? std::string() : dtitle.substr(0, sep));
    model_.Table().SetTitle(sep == std::string::npos ? dtitle : dtitle.substr(sep + 3));
  }
  model_.Table().SetYear(value("DYEAR"));
  model_.Table().SetGenre(value("DGENRE"));
  // Titles for rows the grid doesn't have are dropped: SetCell refuses them.
  const int limit = std::min<int>(kMaxTrackTitles, static_cast<int>(lines.size()));
  for (int n = 0; n < limit; ++n) {
    const std::string& v = value("TTITLE" + std::to_string(n));
    if (v.empty()) break;
    SplitArtistTitle(v, n + 1);
  }
  // What the window does not show is kept for a correction of this entry.
  ReadEntry read;
  read.discId = MatchDiscId;
  read.revision = EntryRevision(lines);
  read.extd = value("EXTD");
  read.playorder = value("PLAYORDER");
  // One per track, as far as the entry numbers them (a gap stays empty).
  for (int n = 0; n < kMaxTrackTitles; ++n) {
    const auto it = values.find("EXTT" + std::to_string(n));
    if (it == values.end()) continue;
    read.extt.resize(static_cast<std::size_t>(n) + 1);
    read.extt.back() = it->second;
  }
  LastRead = std::move(read);
  model_.SetEnabled(shell::MenuId::ExportToPlayer, true);
}

void CddbLookup::SplitArtistTitle(std::string_view text, int row) {
  // Positions count from 1; 0 means not found.
  auto pos = [&](std::string_view needle) -> std::size_t {
    const auto p = text.find(needle);
    return p == std::string_view::npos ? 0 : p + 1;
  };
  const std::size_t p1 = pos(" /");
  const std::size_t p2 = pos("/ ");
  // The artist ends before " /" (or, without one, before "/ "); the title
  // starts after "/ ". Without "/ " nothing is split.
  std::size_t artistLength = p1 > 0 ? p1 - 1 : 0;
  if (p2 > 0) {
    const std::size_t titleStart = p2 + 2;
    if (artistLength == 0) artistLength = p2 - 1;
    model_.Table().SetCell(2, row, std::string(text.substr(0, artistLength)));
    model_.Table().SetCell(1, row, std::string(text.substr(std::min(titleStart - 1, text.size()))));
  } else {
    model_.Table().SetCell(1, row, std::string(text));
  }
}

bool CddbLookup::SelectMatch(const std::vector<std::string>& matches) {
  // A list reply that lists nothing is malformed; there is nothing to offer.
  if (matches.empty()) return false;
  MatchList.assign(matches.begin(),
                   matches.begin() + static_cast<std::ptrdiff_t>(std::min(matches.size(), kMaxMatches)));
  auto& dialog = model_.MatchDialog();
  dialog.rows.assign(MatchList.size() + 1, {});
  for (std::size_t i = 0; i < MatchList.size(); ++i) {
    CheckReplyCode(MatchList[i]);
    dialog.rows[i + 1] = {MatchCategory, MatchArtist, MatchTitle};
  }
  // The current row survives between uses when it still exists.
  dialog.currentRow = std::clamp(dialog.currentRow, 1, std::max(1, static_cast<int>(MatchList.size())));
  const int r = hooks_.chooseMatch ? hooks_.chooseMatch(dialog) : -1;
  if (r > 0 && r <= static_cast<int>(MatchList.size())) {
    CheckReplyCode(MatchList[static_cast<std::size_t>(r - 1)]);
    const auto& row = dialog.rows[static_cast<std::size_t>(r)];
    model_.Table().SetCategory(row[0]);
    model_.Table().SetArtist(row[1]);
    model_.Table().SetTitle(row[2]);
    Report({LookupEvent::MatchChosen, 0, {}, {}}, ReplyOutcome::Done);
  } else {
    MatchCategory.clear();
    Report({LookupEvent::ChoiceCancelled, 0, {}, {}}, ReplyOutcome::ChoiceCancelled);
  }
  return true;
}

}  // namespace sl::cddb
