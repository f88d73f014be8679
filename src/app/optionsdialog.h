// OptionsDialog: the options dialog (proxy, servers, e-mail address, sources
// of titles) on screen.
// Created once at start-up and reused. It shows a shell::OptionDialog's state
// and hands every gesture to that dialog's handlers (the settings room's
// OptionsDialog); it holds no logic of its own.
#pragma once

#include <QDialog>
#include <QPointer>

#include "shell/optiondialog.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace sl::app {

class OptionsDialog : public QDialog {
  Q_OBJECT

 public:
  // `mainWindow` is the window whose top-left corner the dialog takes when it
  // activates.
  explicit OptionsDialog(QWidget* mainWindow);

  // Runs FillFromSettings, shows the dialog modally over `dialog` and returns its
  // result (shell::kModalOk or shell::kModalCancel).
  int Show(shell::OptionDialog& dialog);

  // Controls, named as on the form.
  QPushButton* okButton = nullptr;      // OK
  QPushButton* cancelButton = nullptr;  // Cancel
  QTabWidget* tabs = nullptr;
  QWidget* proxyTab = nullptr;
  QWidget* serverTab = nullptr;
  QWidget* emailTab = nullptr;
  QWidget* sourcesTab = nullptr;
  QLineEdit* proxyHostEdit = nullptr;        // proxy host
  QLineEdit* proxyPortEdit = nullptr;        // proxy port
  QComboBox* serverHostBox = nullptr;        // server host
  QLineEdit* serverPathEdit = nullptr;       // server path
  QPushButton* addServerButton = nullptr;    // 追加
  QPushButton* applyServerButton = nullptr;  // 適用
  QCheckBox* doubleByteCheck = nullptr;      // 2ﾊﾞｲﾄ文字
  QCheckBox* utf8Check = nullptr;            // UTF-8
  QLineEdit* emailEdit = nullptr;            // e-mail address
  QComboBox* musicBrainzUseBox = nullptr;    // when MusicBrainz is asked
  QLineEdit* musicBrainzServerEdit = nullptr;
  QLineEdit* musicBrainzContactEdit = nullptr;
  QLineEdit* sentContactEdit = nullptr;  // read-only: the contact requests carry
  QCheckBox* cdTextCheck = nullptr;      // CD-Text

 public slots:
  void reject() override;  // Escape and the close box: Cancel

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // The three tabs: proxy, server list, e-mail address.
  void BuildTabs();
  void ConnectGestures();
  void HandleActivation();
  // Mirrors the dialog's state into the widgets.
  void Sync();
  // Runs one handler of the dialog, then mirrors its state.
  template <typename F>
  void Handle(F&& handler);

  QPointer<QWidget> mainWindow_;
  shell::OptionDialog* dialog_ = nullptr;
};

}  // namespace sl::app
