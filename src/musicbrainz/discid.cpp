// The disc's MusicBrainz ID, TOC string and submission URL, from the table of
// contents the drive gave, through libdiscid.
#include <discid/discid.h>

#include <memory>
#include <string>

#include "musicbrainz/musicbrainz.h"
#include "platform/loaded_library.h"

namespace sl::musicbrainz {

namespace {

// Frames between the end of an enhanced CD's audio session and the start of
// its data session (the lead-out and lead-in between them): 2:32.00.
constexpr int kSessionGapFrames = 11400;

// libdiscid, opened at the first disc ID a run asks for: most runs (a disc
// read, a CDDB lookup) never need it, and a library linked in costs every
// process its mapping and binding at start.
struct DiscIdLibrary {
  decltype(&discid_new) create = nullptr;
  decltype(&discid_free) release = nullptr;
  decltype(&discid_put) put = nullptr;
  decltype(&discid_get_error_msg) errorMessage = nullptr;
  decltype(&discid_get_id) id = nullptr;
  decltype(&discid_get_toc_string) tocString = nullptr;
  decltype(&discid_get_submission_url) submissionUrl = nullptr;
  std::string error;  // empty when every function was found
};

DiscIdLibrary LoadDiscIdLibrary() {
  DiscIdLibrary api;
  platform::LoadedLibrary lib("libdiscid", {"libdiscid.so.0", "libdiscid.so"});
  lib.Resolve("discid_new", api.create);
  lib.Resolve("discid_free", api.release);
  lib.Resolve("discid_put", api.put);
  lib.Resolve("discid_get_error_msg", api.errorMessage);
  lib.Resolve("discid_get_id", api.id);
  lib.Resolve("discid_get_toc_string", api.tocString);
  lib.Resolve("discid_get_submission_url", api.submissionUrl);
  api.error = lib.Error();
  return api;
}

const DiscIdLibrary& DiscIdApi() {
  static const DiscIdLibrary api = LoadDiscIdLibrary();
  return api;
}

}  // namespace

std::optional<AudioSession> AudioSessionOf(const disc::DiscToc& toc) {
  const int tracks = toc.TrackCount;
  if (tracks < 1 || tracks > disc::kMaxTracks) return std::nullopt;
  AudioSession session;
  const int dataStart = toc.LastSessionFirstTrack;
  if (dataStart > 0 && dataStart <= tracks) {
    // The tracks before the last session's first are the audio ones; the
    // drive reports no lead-out of their own, so it is derived from the
    // data session's start.
    session.lastTrack = dataStart - 1;
    session.offsets[0] =
        disc::FrameOffset(toc.Entries[static_cast<std::size_t>(dataStart - 1)]) - kSessionGapFrames;
  } else {
    session.lastTrack = tracks;
    session.offsets[0] = disc::FrameOffset(toc.Entries[static_cast<std::size_t>(tracks)]);
  }
  if (session.lastTrack < 1) return std::nullopt;
  const auto last = static_cast<std::size_t>(session.lastTrack);
  for (std::size_t k = 1; k <= last; ++k) session.offsets[k] = disc::FrameOffset(toc.Entries[k - 1]);
  // Starts must rise and the lead-out follow the last of them.
  for (std::size_t k = 1; k <= last; ++k) {
    const int next = k == last ? session.offsets[0] : session.offsets[k + 1];
    if (session.offsets[k] < 0 || next <= session.offsets[k]) return std::nullopt;
  }
  return session;
}

std::optional<DiscIdentity> IdentifyDisc(const disc::DiscToc& toc, std::string& why) {
  std::optional<AudioSession> session = AudioSessionOf(toc);
  if (!session) {
    why = "the table of contents names no audio track";
    return std::nullopt;
  }
  const DiscIdLibrary& lib = DiscIdApi();
  if (!lib.error.empty()) {
    why = lib.error;
    return std::nullopt;
  }
  std::unique_ptr<DiscId, decltype(lib.release)> handle(lib.create(), lib.release);
  if (!handle) {
    why = "out of memory";
    return std::nullopt;
  }
  if (lib.put(handle.get(), session->firstTrack, session->lastTrack, session->offsets.data()) == 0) {
    const char* message = lib.errorMessage(handle.get());
    why = std::string("libdiscid refused the table of contents: ") + (message ? message : "");
    return std::nullopt;
  }
  DiscIdentity identity;
  auto text = [](const char* s) { return std::string(s != nullptr ? s : ""); };
  identity.discId = text(lib.id(handle.get()));
  identity.toc = text(lib.tocString(handle.get()));
  identity.submissionUrl = text(lib.submissionUrl(handle.get()));
  // Older libdiscid releases name the page over plain http; the service
  // serves it over https only, so the browser would be redirected anyway
  // after sending the disc's TOC in clear.
  if (identity.submissionUrl.rfind("http://", 0) == 0) identity.submissionUrl.insert(4, "s");
  if (identity.discId.empty() || identity.toc.empty()) {
    why = "libdiscid gave no disc ID";
    return std::nullopt;
  }
  identity.trackCount = session->lastTrack - session->firstTrack + 1;
  return identity;
}

}  // namespace sl::musicbrainz
