// The options dialog without widgets: the state of its controls and the
// handlers a face calls when the user works them. The settings room fills in
// the handlers; a face mirrors the state and forwards the user's gestures.
#pragma once

#include <string>
#include <vector>

namespace sl::shell {

inline constexpr int kModalOk = 1;
inline constexpr int kModalCancel = 2;
// What AcceptOptions answers when it refused a typed value (its box already
// shown): the dialog stays open with what the user typed.
inline constexpr int kModalStay = 0;

struct OptionDialogState {
  // tabs's active tab: 0 proxy, 1 servers, 2 e-mail address, 3 sources of
  // titles. Kept between uses.
  int activeTab = 0;
  std::string proxyHost;  // proxy host
  std::string proxyPort;  // proxy port, as typed
  // driveBox, the server host box: its list, the chosen list position (-1
  // none) and its text, which the user may type.
  std::vector<std::string> hosts;
  int hostIndex = -1;
  std::string hostText;
  std::string serverPath = "/~cddb/cddb.cgi?";  // server path
  bool doubleByteEnabled = false;               // "2ﾊﾞｲﾄ文字": the server takes double-byte text
  bool doubleByteChecked = false;
  // "UTF-8": the server speaks protocol level 6 and UTF-8 (its charset key).
  bool utf8Checked = false;
  // The entry whose charset the "UTF-8" box shows: an entry number, -1 for
  // the new entry being typed, kNoEntry while it shows no entry's value. An
  // entry's charset is written only from a box that shows that entry.
  static constexpr int kNoEntry = -2;
  int utf8Entry = kNoEntry;
  bool applyEnabled = false;  // "適用": a typed host is waiting to be applied
  std::string email;          // the user's e-mail address
  // The server entry the server tab edits; -1 while a new one is typed.
  int editedEntry = 0;

  // The "情報源" tab. When MusicBrainz is asked: 0 never, 1 when the CDDB
  // server has no match, 2 before the CDDB server.
  int musicBrainzUse = 0;
  std::string musicBrainzServer;   // as typed: checked on OK
  std::string musicBrainzContact;  // as typed; empty: the e-mail address is sent
  // Read-only: what the requests would carry with the contact and e-mail
  // address as they stand in the dialog.
  std::string sentContact;
  bool cdTextUse = true;  // a disc read takes the disc's own CD-Text
};

class OptionDialog {
 public:
  virtual ~OptionDialog() = default;

  OptionDialogState state;

  // Before the dialog shows: the host list from the stored servers.
  virtual void FillFromSettings() = 0;
  // The dialog became active (the face moves it to the main window's
  // corner).
  virtual void HandleActivation() = 0;
  // The user picked list position `index` of the host box.
  virtual void SelectServerHost(int index) = 0;
  // The user typed in the host box (state.hostText is already the new text).
  virtual void EditServerHost() = 0;
  // The user ticked or cleared "UTF-8" (state.utf8Checked is already
  // the new value): like typing, it waits for "適用".
  virtual void ToggleUtf8() = 0;
  // The user typed in the contact or the e-mail box (the state already
  // holds the new text): sentContact follows.
  virtual void EditContact() = 0;
  virtual void AddServer() = 0;    // "追加": start a new server entry
  virtual void ApplyServer() = 0;  // "適用": store the typed entry
  // OK: kModalStay when the sources tab holds a value that cannot be
  // taken (reported first); otherwise stores a pending entry, kModalOk.
  virtual int AcceptOptions() = 0;
  virtual int CancelOptions() = 0;  // Cancel: kModalCancel
};

}  // namespace sl::shell
