// Titles from MusicBrainz: the disc's MusicBrainz ID and TOC string (through
// libdiscid), the disc-ID lookup of the web service (through libcurl, the
// window kept live while it waits, at most one request a second), the
// reading of its JSON answer, and what a chosen release gives the window.
//
// Qt-free. Nothing here shows a text or a box: every step returns a typed
// outcome and the caller decides what the user sees.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "disc/disc.h"
#include "shell/model.h"

namespace sl::musicbrainz {

// ---------------------------------------------------------------------------
// The disc as MusicBrainz knows it

// The audio part of a table of contents in the form libdiscid takes: the
// first and last audio track and frame offsets, offsets[0] the lead-out and
// offsets[k] the start of track k. On a disc of two or more sessions (an
// enhanced CD) only the first session's tracks count, and its lead-out lies
// 11,400 frames (the gap between sessions) before the data track's start.
struct AudioSession {
  int firstTrack = 1;
  int lastTrack = 0;
  std::array<int, 100> offsets{};
};

// nullopt when the table of contents has no audio track to name (no tracks,
// a second session that starts at track 1, or a lead-out that would fall on
// or before the last audio track's start).
std::optional<AudioSession> AudioSessionOf(const disc::DiscToc& toc);

struct DiscIdentity {
  std::string discId;         // 28 characters: "49HHV7Eb8UKF3aQiNmu1GR8vKTY-"
  std::string toc;            // "1 6 95462 150 15363 ...": first, last, lead-out, offsets
  std::string submissionUrl;  // where a user attaches the ID to a release
  int trackCount = 0;         // audio tracks named by the ID
};

// The MusicBrainz identity of the disc; nullopt with `why` set when the
// table of contents names no audio track or libdiscid refuses it.
std::optional<DiscIdentity> IdentifyDisc(const disc::DiscToc& toc, std::string& why);

// ---------------------------------------------------------------------------
// The answer: releases and what the window takes from one

struct ArtistCredit {
  std::string name;
  std::string joinPhrase;
};

struct Track {
  int position = 0;
  std::string number;  // as printed on the release ("1", "A1")
  std::string title;
  std::vector<ArtistCredit> artists;
};

struct Medium {
  int position = 0;
  int trackCount = 0;
  std::vector<std::string> discIds;
  std::vector<Track> tracks;
};

struct Release {
  std::string id;  // the release's MBID
  std::string title;
  std::string date;  // "1999-03-01", "1999" or ""
  std::string country;
  std::string label;  // the first label-info's label name
  std::vector<ArtistCredit> artists;
  std::vector<Medium> media;
};

// Bounds on what is kept from one answer.
inline constexpr std::size_t kMaxReleases = 100;
inline constexpr std::size_t kMaxMedia = 100;
inline constexpr std::size_t kMaxTracks = 99;
inline constexpr std::size_t kMaxCredits = 32;
inline constexpr std::size_t kMaxDiscIds = 64;
inline constexpr std::size_t kMaxTextBytes = 4096;  // longer texts cut at a character's start
inline constexpr int kMaxJsonDepth = 64;

enum class ReplyShape {
  ExactMatch,  // the disc ID is known: {"id": ..., "releases": [...]}
  TocMatches,  // only the TOC matched: {"release-count": N, "releases": [...]}
  NoReleases,  // a valid answer without releases (a CD stub, an empty list)
};

struct ParsedReply {
  ReplyShape shape = ReplyShape::NoReleases;
  std::vector<Release> releases;
};

// Reads the service's JSON answer to a disc-ID lookup. nullopt with `why`
// for text that is not JSON, is nested deeper than kMaxJsonDepth, or whose
// fields have the wrong types.
std::optional<ParsedReply> ParseDiscReply(std::string_view json, std::string& why);

// "Artist A & Artist B": each credit's name followed by its join phrase.
std::string JoinCredits(const std::vector<ArtistCredit>& credits);

// The medium of `release` that holds the disc: the one whose discs list
// `discId`, else the first with `trackCount` tracks; nullptr when none fits.
const Medium* ChooseMedium(const Release& release, const std::string& discId, int trackCount);

// What a chosen release puts into the window.
struct DiscTitles {
  std::string artist;
  std::string title;
  std::string year;  // the first four digits of the date, or ""
  std::string releaseId;
  struct TrackTitle {
    std::string title;
    std::string artist;  // "" when the track's credit is the release's
  };
  std::vector<TrackTitle> tracks;  // one per track of the medium, in position order
};

// The titles of `release` for the disc; nullopt when no medium fits it.
std::optional<DiscTitles> TitlesFor(const Release& release, const std::string& discId, int trackCount);

// One line of the match dialog: "artist / title (year, country, label)",
// leaving out what the release lacks ("artist / title (1999, JP)", or
// "artist / title" with none of the three).
std::string MatchLine(const Release& release);
// The same as a row of the match dialog's three columns: "MusicBrainz" where
// a CDDB match shows its category, then the artist, then
// "title (year, country, label)".
std::array<std::string, 3> MatchRow(const Release& release);
// Fills the match dialog with one row per release (rows[0] stays the blank
// fixed row) and puts the current row on the first.
void FillMatchDialog(shell::MatchDialogModel& dialog, const std::vector<Release>& releases);

// ---------------------------------------------------------------------------
// The lookup

struct LookupSettings {
  std::string server = "https://musicbrainz.org";  // scheme, host and port; no path
  std::string contact;                             // an e-mail address or a URL
  std::chrono::milliseconds timeout{30000};        // one request, connect to last byte
  std::chrono::milliseconds maxBusyWait{10000};    // total waiting for a busy (503) server
};

// "{server}/ws/2/discid/{id}?toc={toc}&inc=artist-credits+labels+recordings&fmt=json",
// the TOC's blanks as "+".
std::string LookupUrl(const std::string& server, const DiscIdentity& disc);
// "Sonolabel/1.311 ( contact )"; "Sonolabel/1.311" without a contact.
// Control characters of the contact are left out.
std::string UserAgent(const std::string& contact);

// Bounds of one lookup's transfer.
inline constexpr std::size_t kMaxReplyBytes = 8u << 20;
inline constexpr long kMaxRedirects = 5;
// The service takes at most one request a second from one client.
inline constexpr std::chrono::milliseconds kRequestSpacing{1000};

enum class LookupOutcome {
  Found,           // releases came; see LookupResult::reply
  NotFound,        // 404, or an answer without releases
  CommandRunning,  // another command was running: nothing was sent
  CannotConnect,   // no connection: refused, host unknown, network down
  TimedOut,        // no complete answer within the time-out
  Busy,            // still 503 when the busy wait ran out (or would have)
  HttpError,       // another HTTP status; detail names it
  TooLarge,        // the answer is larger than kMaxReplyBytes; not read whole
  BadReply,        // cut short, not JSON, or not the service's shape
  Aborted,         // Abort() was called while the lookup waited
  NoLibrary,       // libcurl could not be loaded
};

struct LookupResult {
  LookupOutcome outcome = LookupOutcome::CannotConnect;
  std::string detail;  // what went wrong, in the transport's or parser's words
  long httpStatus = 0;
  int attempts = 0;  // requests sent (503 answers are retried)
  ParsedReply reply;
};

// A short English name of an outcome, for logs and test messages.
const char* OutcomeName(LookupOutcome outcome);

// Runs disc-ID lookups for the window. A lookup is a command: it takes the
// model's command scope and refuses to start while another command runs.
// Every wait (the request spacing, a busy server's Retry-After, the
// transfer itself) polls briefly and runs the message pump in between.
class DiscLookup {
 public:
  DiscLookup(shell::ShellModel& model, LookupSettings settings);

  LookupResult LookUpDisc(const DiscIdentity& disc);
  // Ends the running lookup at its next poll with Aborted (a handler run by
  // the pump may call it).
  void Abort() { abortRequested_ = true; }

  const LookupSettings& Settings() const { return settings_; }
  void SetSettings(LookupSettings settings) { settings_ = std::move(settings); }

 private:
  shell::ShellModel& model_;
  LookupSettings settings_;
  bool abortRequested_ = false;
};

}  // namespace sl::musicbrainz
