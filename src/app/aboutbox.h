// AboutBox: the version dialog. Shown without being modal, centred on the
// screen whenever it activates, closed by its OK button.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace sl::app {

class AboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* mainWindow);

  QLabel* ProductName = nullptr;
  QLabel* Version = nullptr;  // "ver." until the main window appends the version
  QPushButton* okButton = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void HandleActivation();
  void Accept();
};

}  // namespace sl::app
