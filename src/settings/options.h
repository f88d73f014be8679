// OptionsDialogLogic's logic: the server tab of the options dialog reads the stored
// server list and adds or renames entries in it. The proxy, e-mail and
// sources tabs are plain edits the main window fills and evaluates; the
// sources tab's read-only contact line follows the contact and e-mail boxes.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "settings/settings.h"
#include "shell/optiondialog.h"

namespace sl::settings {

// What the server tab reports when it cannot store an entry; the window
// decides how each is shown.
enum class OptionEvent {
  ServerNotSaved,  // the settings file refused the entry (`detail`: why)
  ServerListFull,  // the list already holds as many servers as it may
  SourcesRefused,  // OK with a MusicBrainz server or contact that cannot be taken (`detail`: which)
};
inline constexpr int kOptionEventCount = static_cast<int>(OptionEvent::SourcesRefused) + 1;

struct OptionReport {
  OptionEvent event = OptionEvent::ServerNotSaved;
  std::string detail;
};
using OptionHook = std::function<void(const OptionReport&)>;

class OptionsDialogLogic final : public shell::OptionDialog {
 public:
  // `report` hears every OptionEvent; unset, they are dropped.
  explicit OptionsDialogLogic(OptionHook report) : report_(std::move(report)) {}

  // The settings file opened by the main window; null before it is opened
  // (the dialog then shows no hosts and stores nothing).
  void SetSettings(SettingsFile* settings) { settings_ = settings; }

  void FillFromSettings() override;
  void HandleActivation() override;
  void SelectServerHost(int index) override;
  void EditServerHost() override;
  void ToggleUtf8() override;
  void EditContact() override;
  void AddServer() override;
  void ApplyServer() override;
  int AcceptOptions() override;
  int CancelOptions() override;

  // Stores the typed host with the path box's text (and, when the check box
  // is enabled, its code) as entry editedEntry, or as a new last entry. A host
  // text that is empty, or that occurs inside a stored host, is not stored.
  // Returns true when an entry was written.
  bool ApplyServerEntry();

 private:
  int StoredCount() const;
  void Report(OptionEvent event, std::string detail = {}) const {
    if (report_) report_({event, std::move(detail)});
  }
  OptionHook report_;
  SettingsFile* settings_ = nullptr;
};

}  // namespace sl::settings
