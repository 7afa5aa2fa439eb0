#include "about_dialog.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "dunmark_logic.h"
#include "dunmark_resources.h"

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFont(dunmark::DialogFont());
  setWindowTitle(dunmark::res::kAboutCaption);
  const dunmark::DialogUnits du = dunmark::DialogUnits::FromFont(font());
  setFixedSize(du.X(235), du.Y(55));

  const QIcon icon = dunmark::res::AppIcon();
  m_iconLabel = new QLabel(this);
  m_iconLabel->setPixmap(icon.pixmap(32, 32));
  m_iconLabel->setGeometry(du.X(11), du.Y(17), 32, 32);

  m_textLabel = new QLabel(this);
  m_textLabel->setTextFormat(Qt::PlainText);
  m_textLabel->setText(dunmark::res::kAboutText);
  m_textLabel->setGeometry(du.Rect(40, 10, 119, 8));

  m_okButton = new QPushButton(dunmark::res::kAboutOk, this);
  m_okButton->setObjectName(QStringLiteral("1"));
  m_okButton->setGeometry(du.Rect(178, 7, 50, 14));
  m_okButton->setDefault(true);
  m_okButton->setFocus();
  connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);
}
