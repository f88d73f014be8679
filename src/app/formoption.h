// TFormOption: the options dialog (proxy, servers, e-mail address) on screen.
// Created once at start-up and reused. It shows a shell::OptionDialog's state
// and hands every gesture to that dialog's handlers (the settings room's
// TFormOption); it holds no logic of its own.
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

class TFormOption : public QDialog {
  Q_OBJECT

 public:
  // `mainWindow` is the window whose top-left corner the dialog takes when it
  // activates.
  explicit TFormOption(QWidget* mainWindow);

  // Runs FormShow, shows the dialog modally over `dialog` and returns its
  // result (shell::kModalOk or shell::kModalCancel).
  int Show(shell::OptionDialog& dialog);

  // Controls, named as on the form.
  QPushButton* Button1 = nullptr;  // OK
  QPushButton* Button2 = nullptr;  // Cancel
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;
  QWidget* TabSheet2 = nullptr;
  QWidget* TabSheet3 = nullptr;
  QLineEdit* Edit1 = nullptr;      // proxy host
  QLineEdit* Edit2 = nullptr;      // proxy port
  QComboBox* ComboBox1 = nullptr;  // server host
  QLineEdit* Edit3 = nullptr;      // server path
  QPushButton* Button4 = nullptr;  // 追加
  QPushButton* Button5 = nullptr;  // 適用
  QCheckBox* CheckBox1 = nullptr;  // 2ﾊﾞｲﾄ文字
  QCheckBox* CheckBox2 = nullptr;  // UTF-8
  QLineEdit* Edit4 = nullptr;      // e-mail address

 public slots:
  void reject() override;  // Escape and the close box: Cancel

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void FormActivate();
  // Mirrors the dialog's state into the widgets.
  void Sync();
  // Runs one handler of the dialog, then mirrors its state.
  template <typename F>
  void Handle(F&& handler);

  QPointer<QWidget> mainWindow_;
  shell::OptionDialog* dialog_ = nullptr;
};

}  // namespace sl::app
