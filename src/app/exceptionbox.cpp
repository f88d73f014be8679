#include "app/exceptionbox.h"

#include <QApplication>
#include <QMessageBox>

#include "app/texts.h"

namespace sl::app {

QString ExceptionText(const QString& message) {
  if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
  return message;
}

void ShowException(const QString& message) {
  QMessageBox box(QMessageBox::Critical, kAppTitle, ExceptionText(message), QMessageBox::Ok,
                  QApplication::activeWindow());
  box.setObjectName(QStringLiteral("ExceptionBox"));
  box.exec();
}

}  // namespace sl::app
