// TFormOption: the options dialog (proxy, servers, e-mail address). Created
// at start-up and reused; for now it is the bare form.
#pragma once

#include <QDialog>

namespace sl::app {

class TFormOption : public QDialog {
  Q_OBJECT

 public:
  explicit TFormOption(QWidget* mainWindow);
};

}  // namespace sl::app
