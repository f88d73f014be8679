// Reading the web service's answer to a disc-ID lookup and what a chosen
// release gives the window.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "musicbrainz/musicbrainz.h"

namespace sl::musicbrainz {

namespace {

using nlohmann::json;

// A field of the wrong type in an otherwise valid JSON text.
class ShapeError : public std::runtime_error {
 public:
  using runtime_error::runtime_error;
};

// The deepest nesting of arrays and objects in `text`, looking no further
// than limit + 1 levels; strings (and the brackets inside them) are skipped.
int NestingDepth(std::string_view text, int limit) {
  int depth = 0, deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) break;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// Text as the window may show and store it: control characters (line
// breaks, tabs, NUL) become blanks, since a title is one line of a grid cell
// and of the title file; at most kMaxTextBytes, cut where a character starts.
std::string CleanText(const std::string& text) {
  std::string out = text.substr(0, std::min(text.size(), kMaxTextBytes));
  if (out.size() < text.size()) {
    std::size_t end = out.size();
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    out.resize(end);
  }
  for (char& c : out) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) c = ' ';
  }
  return out;
}

// A string field: "" when absent or null; other types are a shape error.
std::string TextField(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return "";
  if (!it->is_string()) throw ShapeError(std::string("\"") + key + "\" is not a string");
  return CleanText(it->get_ref<const std::string&>());
}

// An integer field: 0 when absent or null.
int NumberField(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return 0;
  if (!it->is_number_integer()) throw ShapeError(std::string("\"") + key + "\" is not an integer");
  const auto value = it->get<long long>();
  return static_cast<int>(std::clamp<long long>(value, -1000000, 1000000));
}

// An array field: nullptr when absent or null.
const json* ArrayField(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  if (!it->is_array()) throw ShapeError(std::string("\"") + key + "\" is not an array");
  return &*it;
}

const json& AsObject(const json& value, const char* what) {
  if (!value.is_object()) throw ShapeError(std::string(what) + " is not an object");
  return value;
}

std::vector<ArtistCredit> CreditsOf(const json& object) {
  std::vector<ArtistCredit> credits;
  const json* list = ArrayField(object, "artist-credit");
  if (list == nullptr) return credits;
  for (const json& item : *list) {
    if (credits.size() == kMaxCredits) break;
    const json& credit = AsObject(item, "an artist credit");
    ArtistCredit c;
    // The credited name may differ from the artist's own; it is the one
    // printed on the release.
    c.name = TextField(credit, "name");
    if (c.name.empty()) {
      const auto artist = credit.find("artist");
      if (artist != credit.end() && artist->is_object()) c.name = TextField(*artist, "name");
    }
    c.joinPhrase = TextField(credit, "joinphrase");
    credits.push_back(std::move(c));
  }
  return credits;
}

Track TrackOf(const json& value) {
  const json& object = AsObject(value, "a track");
  Track t;
  t.position = NumberField(object, "position");
  t.number = TextField(object, "number");
  t.title = TextField(object, "title");
  const auto recording = object.find("recording");
  if (t.title.empty() && recording != object.end() && recording->is_object())
    t.title = TextField(*recording, "title");
  t.artists = CreditsOf(object);
  return t;
}

Medium MediumOf(const json& value) {
  const json& object = AsObject(value, "a medium");
  Medium m;
  m.position = NumberField(object, "position");
  if (const json* discs = ArrayField(object, "discs")) {
    for (const json& d : *discs) {
      if (m.discIds.size() == kMaxDiscIds) break;
      m.discIds.push_back(TextField(AsObject(d, "a disc"), "id"));
    }
  }
  if (const json* tracks = ArrayField(object, "tracks")) {
    for (const json& t : *tracks) {
      if (m.tracks.size() == kMaxTracks) break;
      m.tracks.push_back(TrackOf(t));
    }
  }
  const auto count = object.find("track-count");
  m.trackCount = count != object.end() && !count->is_null() ? NumberField(object, "track-count")
                                                            : static_cast<int>(m.tracks.size());
  return m;
}

Release ReleaseOf(const json& value) {
  const json& object = AsObject(value, "a release");
  Release r;
  r.id = TextField(object, "id");
  r.title = TextField(object, "title");
  r.date = TextField(object, "date");
  r.country = TextField(object, "country");
  if (const json* labels = ArrayField(object, "label-info")) {
    for (const json& info : *labels) {
      const auto label = AsObject(info, "a label-info").find("label");
      if (label == info.end() || !label->is_object()) continue;
      r.label = TextField(*label, "name");
      if (!r.label.empty()) break;
    }
  }
  r.artists = CreditsOf(object);
  if (const json* media = ArrayField(object, "media")) {
    for (const json& m : *media) {
      if (r.media.size() == kMaxMedia) break;
      r.media.push_back(MediumOf(m));
    }
  }
  return r;
}

// The year of a date ("1999-03-01", "1999"): its first four characters when
// they are digits, else "".
std::string YearOf(const std::string& date) {
  const bool digits = date.size() >= 4 && std::all_of(date.begin(), date.begin() + 4,
                                                      [](char c) { return c >= '0' && c <= '9'; });
  return digits ? date.substr(0, 4) : std::string();
}

}  // namespace

std::optional<ParsedReply> ParseDiscReply(std::string_view text, std::string& why) {
  if (NestingDepth(text, kMaxJsonDepth) > kMaxJsonDepth) {
    why = "the answer is nested too deeply";
    return std::nullopt;
  }
  try {
    const json root = json::parse(text.begin(), text.end());
    const json& top = AsObject(root, "the answer");
    ParsedReply reply;
    const json* releases = ArrayField(top, "releases");
    if (releases == nullptr) {
      // A CD stub (a disc someone entered without a release) carries its
      // own ID and tracks but no releases; nothing else is an answer.
      const auto id = top.find("id");
      if (id == top.end() || !id->is_string()) throw ShapeError("the answer holds no releases");
      return reply;
    }
    for (const json& r : *releases) {
      if (reply.releases.size() == kMaxReleases) break;
      reply.releases.push_back(ReleaseOf(r));
    }
    if (reply.releases.empty()) reply.shape = ReplyShape::NoReleases;
    else if (top.contains("release-count")) reply.shape = ReplyShape::TocMatches;
    else reply.shape = ReplyShape::ExactMatch;
    return reply;
  } catch (const json::exception& e) {
    why = std::string("not JSON: ") + e.what();
  } catch (const ShapeError& e) {
    why = e.what();
  }
  return std::nullopt;
}

std::string JoinCredits(const std::vector<ArtistCredit>& credits) {
  std::string out;
  for (const ArtistCredit& c : credits) out += c.name + c.joinPhrase;
  return out;
}

const Medium* ChooseMedium(const Release& release, const std::string& discId, int trackCount) {
  for (const Medium& m : release.media)
    if (!discId.empty() && std::find(m.discIds.begin(), m.discIds.end(), discId) != m.discIds.end())
      return &m;
  for (const Medium& m : release.media)
    if (m.trackCount == trackCount) return &m;
  return nullptr;
}

std::optional<DiscTitles> TitlesFor(const Release& release, const std::string& discId, int trackCount) {
  const Medium* medium = ChooseMedium(release, discId, trackCount);
  if (medium == nullptr) return std::nullopt;
  DiscTitles titles;
  titles.artist = JoinCredits(release.artists);
  titles.title = release.title;
  titles.releaseId = release.id;
  titles.year = YearOf(release.date);
  std::vector<const Track*> ordered;
  for (const Track& t : medium->tracks) ordered.push_back(&t);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const Track* a, const Track* b) { return a->position < b->position; });
  for (const Track* t : ordered) {
    DiscTitles::TrackTitle row;
    row.title = t->title;
    const std::string artist = JoinCredits(t->artists);
    if (!artist.empty() && artist != titles.artist) row.artist = artist;
    titles.tracks.push_back(std::move(row));
  }
  return titles;
}

namespace {
std::string TitleWithDetails(const Release& release) {
  std::string details;
  const std::string year = YearOf(release.date);
  for (const std::string* part : {&year, &release.country, &release.label}) {
    if (part->empty()) continue;
    if (!details.empty()) details += ", ";
    details += *part;
  }
  return details.empty() ? release.title : release.title + " (" + details + ")";
}
}  // namespace

std::string MatchLine(const Release& release) {
  return JoinCredits(release.artists) + " / " + TitleWithDetails(release);
}

std::array<std::string, 3> MatchRow(const Release& release) {
  return {"MusicBrainz", JoinCredits(release.artists), TitleWithDetails(release)};
}

void FillMatchDialog(shell::MatchDialogModel& dialog, const std::vector<Release>& releases) {
  dialog.rows.assign(releases.size() + 1, {});
  for (std::size_t i = 0; i < releases.size(); ++i) dialog.rows[i + 1] = MatchRow(releases[i]);
  dialog.currentRow = 1;
}

}  // namespace sl::musicbrainz
