#include "app/aboutbox.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "app/texts.h"
#include "app/window_position.h"

namespace sl::app {

AboutBox::AboutBox(QWidget* mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("aboutBox"));
  setWindowTitle(QStringLiteral("バージョン情報"));
  setFixedSize(298, 182);

  ProductName = new QLabel(kAppTitle, this);
  ProductName->setObjectName(QStringLiteral("ProductName"));
  QFont big = ProductName->font();
  big.setPixelSize(kLabelFontPx);
  big.setBold(true);
  ProductName->setFont(big);
  ProductName->adjustSize();
  ProductName->move(88, 24);

  Version = new QLabel(QStringLiteral("ver."), this);
  Version->setObjectName(QStringLiteral("Version"));
  Version->setMinimumWidth(120);
  Version->adjustSize();
  Version->move(88, 56);

  auto* comments = new QLabel(QStringLiteral("オーディオCDの曲名を取得・編集するツール"), this);
  comments->setObjectName(QStringLiteral("Comments"));
  comments->adjustSize();
  comments->move(24, 96);

  okButton = new QPushButton(QStringLiteral("OK"), this);
  okButton->setObjectName(QStringLiteral("okButton"));
  okButton->setGeometry(111, 148, 75, 25);
  okButton->setDefault(true);
  connect(okButton, &QPushButton::clicked, this, [this] { Accept(); });
}

void AboutBox::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  HandleActivation();
}

void AboutBox::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) HandleActivation();
}

void AboutBox::HandleActivation() { move(CentredOnScreen(*this)); }

void AboutBox::Accept() { close(); }

}  // namespace sl::app
