#include "app/aboutbox.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "app/texts.h"
#include "app/window_position.h"

namespace sl::app {

TAboutBox::TAboutBox(QWidget* mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("AboutBox"));
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

  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setObjectName(QStringLiteral("OKButton"));
  OKButton->setGeometry(111, 148, 75, 25);
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
}

void TAboutBox::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormActivate();
}

void TAboutBox::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TAboutBox::FormActivate() { move(CentredOnScreen(*this)); }

void TAboutBox::OKButtonClick() { close(); }

}  // namespace sl::app
