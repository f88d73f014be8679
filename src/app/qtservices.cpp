#include "app/qtservices.h"

#include <QApplication>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

#include "app/matchdialog.h"
#include "app/optionsdialog.h"
#include "app/texts.h"

namespace sl::app {

QtShellServices::~QtShellServices() {
  // Leave no cursor behind if a request was still marked busy.
  while (busyDepth_ > 0) SetBusyCursor(false);
}

void QtShellServices::SetMatchDialog(MatchDialog* dialog) { matchDialog_ = dialog; }

void QtShellServices::MessageBox(shell::MsgIcon icon, const std::string& text) {
  QMessageBox::Icon qicon = QMessageBox::Information;
  switch (icon) {
    case shell::MsgIcon::Information: qicon = QMessageBox::Information; break;
    case shell::MsgIcon::Warning: qicon = QMessageBox::Warning; break;
    case shell::MsgIcon::Error: qicon = QMessageBox::Critical; break;
  }
  if (beforeBox_) beforeBox_();
  QMessageBox box(qicon, kAppTitle, QString::fromStdString(text), QMessageBox::Ok, owner_);
  box.setObjectName(QStringLiteral("MessageBox"));
  box.exec();
}

std::string QtShellServices::InputBox(const std::string& caption, const std::string& prompt,
                                      const std::string& placeholder) {
  if (beforeBox_) beforeBox_();
  QInputDialog box(owner_);
  box.setObjectName(QStringLiteral("InputBox"));
  box.setInputMode(QInputDialog::TextInput);
  box.setWindowTitle(QString::fromStdString(caption));
  box.setLabelText(QString::fromStdString(prompt));
  box.setTextValue(QString::fromStdString(placeholder));
  // The answer is one line of bounded length, like the original input box.
  if (auto* edit = box.findChild<QLineEdit*>()) edit->setMaxLength(kMaxInputLength);
  if (box.exec() != QDialog::Accepted) return placeholder;
  return box.textValue().toStdString();
}

void QtShellServices::SetBusyCursor(bool busy) {
  if (busy) {
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    ++busyDepth_;
  } else if (busyDepth_ > 0) {
    // Only pop what was pushed, so an unmatched "not busy" cannot remove a
    // cursor someone else set.
    QGuiApplication::restoreOverrideCursor();
    --busyDepth_;
  }
}

shell::MsgAnswer QtShellServices::QuestionBox(const std::string& caption, const std::string& text,
                                              shell::MsgButtons buttons) {
  if (beforeBox_) beforeBox_();
  QMessageBox::StandardButtons which = QMessageBox::Yes | QMessageBox::No;
  if (buttons == shell::MsgButtons::YesNoCancel) which |= QMessageBox::Cancel;
  QMessageBox box(QMessageBox::Question, caption.empty() ? kAppTitle : QString::fromStdString(caption),
                  QString::fromStdString(text), which, owner_);
  box.setObjectName(QStringLiteral("QuestionBox"));
  switch (box.exec()) {
    case QMessageBox::Yes: return shell::MsgAnswer::Yes;
    case QMessageBox::Cancel: return shell::MsgAnswer::Cancel;
    default: return shell::MsgAnswer::No;
  }
}

void QtShellServices::Beep() { QApplication::beep(); }

int QtShellServices::ShowMatchDialog(shell::MatchDialogModel& dialog) {
  if (!matchDialog_) return -1;
  return matchDialog_->Choose(dialog);
}

}  // namespace sl::app

namespace sl::app {

int QtShellServices::ShowOptionDialog(shell::OptionDialog& dialog) {
  if (!optionDialog_) return shell::kModalCancel;
  return optionDialog_->Show(dialog);
}

}  // namespace sl::app
