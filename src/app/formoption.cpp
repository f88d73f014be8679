#include "app/formoption.h"

namespace sl::app {

TFormOption::TFormOption(QWidget* mainWindow) : QDialog(mainWindow) {
  setObjectName(QStringLiteral("FormOption"));
  setWindowTitle(QStringLiteral("オプション"));
  setFixedSize(516, 193);
}

}  // namespace sl::app
