// The options dialog without widgets: the state of its controls and the
// handlers a face calls when the user works them. The settings room fills in
// the handlers; a face mirrors the state and forwards the user's gestures.
#pragma once

#include <string>
#include <vector>

namespace sl::shell {

inline constexpr int kModalOk = 1;
inline constexpr int kModalCancel = 2;

struct OptionDialogState {
  // PageControl1's active tab: 0 proxy, 1 servers, 2 e-mail address. Kept
  // between uses.
  int activeTab = 0;
  std::string Edit1;  // proxy host
  std::string Edit2;  // proxy port, as typed
  // ComboBox1, the server host box: its list, the chosen list position (-1
  // none) and its text, which the user may type.
  std::vector<std::string> hosts;
  int hostIndex = -1;
  std::string hostText;
  std::string Edit3 = "/~cddb/cddb.cgi?";  // server path
  bool CheckBox1Enabled = false;  // "2ﾊﾞｲﾄ文字": the server takes double-byte text
  bool CheckBox1Checked = false;
  // "UTF-8": the server speaks protocol level 6 and UTF-8 (its charset key).
  bool CheckBox2Checked = false;
  // The entry whose charset the "UTF-8" box shows: an entry number, -1 for
  // the new entry being typed, kNoEntry while it shows no entry's value. An
  // entry's charset is written only from a box that shows that entry.
  static constexpr int kNoEntry = -2;
  int CheckBox2Entry = kNoEntry;
  bool Button5Enabled = false;    // "適用": a typed host is waiting to be applied
  std::string Edit4;  // the user's e-mail address
  // The server entry the server tab edits; -1 while a new one is typed.
  int EditIndex = 0;
};

class OptionDialog {
 public:
  virtual ~OptionDialog() = default;

  OptionDialogState state;

  // Before the dialog shows: the host list from the stored servers.
  virtual void FormShow() = 0;
  // The dialog became active (the face moves it to the main window's
  // corner).
  virtual void FormActivate() = 0;
  // The user picked list position `index` of the host box.
  virtual void ComboBox1Select(int index) = 0;
  // The user typed in the host box (state.hostText is already the new text).
  virtual void ComboBox1Change() = 0;
  // The user ticked or cleared "UTF-8" (state.CheckBox2Checked is already
  // the new value): like typing, it waits for "適用".
  virtual void CheckBox2Click() = 0;
  virtual void Button4Click() = 0;  // "追加": start a new server entry
  virtual void Button5Click() = 0;  // "適用": store the typed entry
  virtual int Button1Click() = 0;   // OK: stores a pending entry; kModalOk
  virtual int Button2Click() = 0;   // Cancel: kModalCancel
};

}  // namespace sl::shell
