// TFormOption's logic: the server tab of the options dialog reads the stored
// server list and adds or renames entries in it. The proxy and e-mail tabs
// are plain edits the main window fills and evaluates.
#pragma once

#include "settings/settings.h"
#include "shell/optiondialog.h"
#include "shell/services.h"

namespace sl::settings {

class TFormOption final : public shell::OptionDialog {
 public:
  explicit TFormOption(shell::ShellServices& services) : services_(services) {}

  // The settings file opened by the main window; null before it is opened
  // (the dialog then shows no hosts and stores nothing).
  void SetSettings(SettingsFile* settings) { settings_ = settings; }

  void FormShow() override;
  void FormActivate() override;
  void ComboBox1Select(int index) override;
  void ComboBox1Change() override;
  void CheckBox2Click() override;
  void Button4Click() override;
  void Button5Click() override;
  int Button1Click() override;
  int Button2Click() override;

  // Stores the typed host with the path box's text (and, when the check box
  // is enabled, its code) as entry EditIndex, or as a new last entry. A host
  // text that is empty, or that occurs inside a stored host, is not stored.
  // Returns true when an entry was written.
  bool ApplyServerEntry();

 private:
  int StoredCount() const;
  shell::ShellServices& services_;
  SettingsFile* settings_ = nullptr;
};

}  // namespace sl::settings
