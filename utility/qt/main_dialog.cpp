// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "main_dialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimerEvent>

#include <QTimer>

#include <array>
#include <utility>

#include "about_dialog.h"
#include "card_window.h"
#include "data_field.h"
#include "dunmark_resources.h"
#include "gbk_text_and_geometry.h"
#include "korvel.h"

#if defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

using dunmark::core::Box;
using dunmark::core::End;

// The pump the library runs while a call waits: the dialog keeps painting
// and its timers keep ticking, while clicks and keys wait for the call to end.
void PumpEvents(void* /*context*/) {
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// A combo box's list selection is cleared when the user types into its edit
// field, and set again when an item is picked.
constexpr char kSelectionCleared[] = "selectionCleared";

// The reader's text as the controller gives it (code page 936, line breaks
// CR LF), with Qt's line breaks.
QString FromReaderBytes(const std::string& bytes) {
  return dunmark::FromGbk(QByteArray(bytes.data(), qsizetype(bytes.size())))
      .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// The text of the selected list item; empty when there is no selection.
QString SelectedItemText(const QComboBox* box) {
  const int index = box->currentIndex();
  if (index < 0 || box->property(kSelectionCleared).toBool()) return {};
  return box->itemText(index);
}

}  // namespace

CMainDialog::CMainDialog(QWidget* parent) : QDialog(parent), m_appIcon(dunmark::res::AppIcon()) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setAttribute(Qt::WA_WindowPropagation);
  setFont(dunmark::DialogFont());
  setWindowTitle(dunmark::res::kMainCaption);
  CreateControls();
  OnInitDialog();
}

CMainDialog::~CMainDialog() = default;

namespace {

using dunmark::DialogUnits;
using dunmark::core::ControlTemplate;

// The name a screen reader gives an input: its label's.
QString AccessibleName(int id) {
  switch (id) {
    case IDC_PORT: return QStringLiteral("Port");
    case IDC_BAUD: return QStringLiteral("Baud");
    case IDC_BAUD_CHOOSE_BOX: return QStringLiteral("Baud Setting");
    case IDC_TRACK1_START: return QStringLiteral("First Track Start");
    case IDC_TRACK1_END: return QStringLiteral("First Track End");
    case IDC_TRACK2_START: return QStringLiteral("Second Track Start");
    case IDC_TRACK2_END: return QStringLiteral("Second Track End");
    case IDC_TRACK3_START: return QStringLiteral("Third Track Start");
    case IDC_TRACK3_END: return QStringLiteral("Third Track End");
    case IDC_DATA_PACKETS: return QStringLiteral("Data Packets");
    default: return {};
  }
}

// A control that code addresses: named by its identifier, placed by its template.
template <typename Widget>
Widget* Place(Widget* widget, const DialogUnits& du, const ControlTemplate& c) {
  widget->setObjectName(QString::number(c.id));
  widget->setAccessibleName(AccessibleName(c.id));
  widget->setGeometry(du.Rect(c.x, c.y, c.w, c.h));
  return widget;
}

// A dialog's group box: the frame's top line runs through the caption.  It
// stays behind the controls it surrounds.
QGroupBox* MakeGroupBox(QWidget* dialog, const DialogUnits& du, const ControlTemplate& c) {
  auto* box = new QGroupBox(QString::fromUtf8(c.caption), dialog);
  box->setStyleSheet(
      QStringLiteral(
          "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: %1px; }"
          "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: %2px; padding: "
          "0 2px; }")
          .arg(dialog->fontMetrics().height() / 2)
          .arg(du.X(3)));
  box->setGeometry(du.Rect(c.x, c.y, c.w, c.h));
  return box;
}

QLabel* MakeLabel(QWidget* dialog, const DialogUnits& du, const ControlTemplate& c) {
  auto* label = new QLabel(QString::fromUtf8(c.caption), dialog);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(true);
  label->setGeometry(du.Rect(c.x, c.y, c.w, c.h));
  return label;
}

// Never a default button: Enter is the dialog's (see keyPressEvent).
QPushButton* MakeButton(QWidget* dialog, const DialogUnits& du, const ControlTemplate& c) {
  auto* button = Place(new QPushButton(QString::fromUtf8(c.caption), dialog), du, c);
  button->setAutoDefault(false);
  button->setDefault(false);
  button->setFocusPolicy(Qt::StrongFocus);
  button->setEnabled((c.flags & dunmark::core::kStartsDisabled) == 0);
  return button;
}

// A drop-down with an edit field; the template's height is its dropped list.
// Typing clears the list selection, picking an item sets it again.
QComboBox* MakeComboBox(QWidget* dialog, const DialogUnits& du, const ControlTemplate& c) {
  auto* box = Place(new QComboBox(dialog), du, c);
  box->setEditable(true);
  box->setInsertPolicy(QComboBox::NoInsert);
  box->setCompleter(nullptr);
  box->addItems(
      dunmark::ToStringList(c.id == IDC_PORT ? dunmark::core::FixedPortNames() : dunmark::core::RateItems()));
  QObject::connect(box->lineEdit(), &QLineEdit::textEdited, box,
                   [box] { box->setProperty(kSelectionCleared, true); });
  auto picked = [box] { box->setProperty(kSelectionCleared, false); };
  QObject::connect(box, &QComboBox::currentIndexChanged, box, picked);
  QObject::connect(box, &QComboBox::activated, box, picked);
  const int height = box->sizeHint().height();
  box->setGeometry(du.X(c.x), du.Y(c.y), du.X(c.w), height);
  const int rowHeight = std::max(1, box->fontMetrics().height() + 2);
  box->setMaxVisibleItems(std::max(1, (du.Y(c.h) - height) / rowHeight));
  return box;
}

}  // namespace

// Controls are made in template order, which is also the tab order.  Group
// boxes and labels are siblings of the controls and take no focus.
void CMainDialog::CreateControls() {
  const DialogUnits du = DialogUnits::FromFont(font());
  setFixedSize(du.X(dunmark::core::MainDialog().w), du.Y(dunmark::core::MainDialog().h));
  QList<QGroupBox*> groups;
  QHash<QString, QLabel*> labels;
  for (const ControlTemplate& c : dunmark::core::MainDialog().controls) {
    switch (c.kind) {
      case dunmark::core::ControlKind::kGroupBox: groups << MakeGroupBox(this, du, c); break;
      case dunmark::core::ControlKind::kLabel:
        labels.insert(QString::fromUtf8(c.caption), MakeLabel(this, du, c));
        break;
      case dunmark::core::ControlKind::kComboBox: MakeComboBox(this, du, c); break;
      case dunmark::core::ControlKind::kPushButton:
      case dunmark::core::ControlKind::kDefaultButton: {
        // Every press goes to the controller, which decides.
        QPushButton* button = MakeButton(this, du, c);
        connect(button, &QPushButton::clicked, this, [this, id = c.id] { m_controller.Press(id); });
        break;
      }
      case dunmark::core::ControlKind::kCheckBox:
        Place(new QCheckBox(QString::fromUtf8(c.caption), this), du, c);
        break;
      case dunmark::core::ControlKind::kEdit: Place(new QLineEdit(this), du, c); break;
      case dunmark::core::ControlKind::kMultiLineEdit:
        m_dataField = Place(new CDataField(this), du, c);
        break;
      case dunmark::core::ControlKind::kIcon: break;
    }
  }
  for (QGroupBox* box : groups) box->lower();
  BindControls();
  labels.value(QStringLiteral("Port"))->setBuddy(m_portBox);
  labels.value(QStringLiteral("Baud"))->setBuddy(m_baudBox);
  labels.value(QStringLiteral("Data Packets"))->setBuddy(m_dataField);
  connect(m_dataField, &CDataField::cardRequested, this, &CMainDialog::OnShowCard);
}

void CMainDialog::BindControls() {
  auto control = [this]<typename Widget>(Widget*& member, int id) {
    member = findChild<Widget*>(QString::number(id), Qt::FindDirectChildrenOnly);
  };
  control(m_enterMark, IDC_ENTER_MARK);
  control(m_portBox, IDC_PORT);
  control(m_baudBox, IDC_BAUD);
  control(m_baudChooseBox, IDC_BAUD_CHOOSE_BOX);
  control(m_track1Start, IDC_TRACK1_START);
  control(m_track1End, IDC_TRACK1_END);
  control(m_track2Start, IDC_TRACK2_START);
  control(m_track2End, IDC_TRACK2_END);
  control(m_track3Start, IDC_TRACK3_START);
  control(m_track3End, IDC_TRACK3_END);
}

void CMainDialog::OnInitDialog() {
  DoDataExchange(false);

#if defined(Q_OS_WIN)
  if (HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE); menu != nullptr) {
    const QString item = dunmark::res::kAboutMenuItem;
    if (!item.isEmpty()) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, dunmark::res::kIdmAboutBox, reinterpret_cast<LPCWSTR>(item.utf16()));
      AppendMenuW(menu, MF_STRING, dunmark::res::kIdmCard,
                  reinterpret_cast<LPCWSTR>(dunmark::res::kCardMenuItem.utf16()));
    }
  }
#endif

  setWindowIcon(m_appIcon);

  m_portBox->setCurrentIndex(0);
  m_baudBox->setCurrentIndex(dunmark::core::DefaultRateIndex());
  m_baudChooseBox->setCurrentIndex(dunmark::core::DefaultRateIndex());

  m_track1Start->setText(QStringLiteral("%"));
  m_track1End->setText(QStringLiteral("?"));
  m_track2Start->setText(QStringLiteral(";"));
  m_track2End->setText(QStringLiteral("?"));
  m_track3Start->setText(QStringLiteral("+"));
  m_track3End->setText(QStringLiteral("?"));

  m_enterMark->setChecked(true);

  m_portBox->setFocus();
}

bool CMainDialog::DoDataExchange(bool save) {
  if (!save) {
    m_dataField->setPlainText(m_dataPackets);
    m_dataField->SetByteLimit(kDataPacketsLimit);
    return true;
  }
  m_dataPackets = m_dataField->toPlainText();
  if (dunmark::GbkByteCount(m_dataPackets) > kDataPacketsLimit) {
    ShowMessage(QMessageBox::Warning, QString::fromUtf8(dunmark::core::kTooManyCharactersTitle),
                QString::fromStdString(dunmark::core::TooManyCharactersText()));
    m_dataField->setFocus();
    m_dataField->selectAll();
    return false;
  }
  return true;
}

void CMainDialog::AddPortName(const QString& name, bool select) {
  int index = m_portBox->findText(name, Qt::MatchExactly);
  if (index < 0) {
    m_portBox->addItem(name);
    index = m_portBox->count() - 1;
  }
  // The list drops down wide enough for long device paths; the box keeps its
  // place and width.
  m_portBox->view()->setMinimumWidth(m_portBox->view()->sizeHintForColumn(0) +
                                     2 * m_portBox->fontMetrics().height());
  if (select) {
    m_portBox->setCurrentIndex(index);
    m_portBox->setProperty(kSelectionCleared, false);
  }
}

void CMainDialog::accept() {
  if (DoDataExchange(true)) QDialog::accept();
}

void CMainDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    // Enter presses the focused push button; anywhere else it is the OK command.
    if (auto* pressed = qobject_cast<QPushButton*>(focusWidget()); pressed != nullptr) {
      if (pressed->isEnabled()) pressed->click();
    } else {
      accept();
    }
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CMainDialog::closeEvent(QCloseEvent* event) {
  // The close box waits, like a click, until the call under way is over.
  if (!m_controller.MayEnd(End::kCancel)) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void CMainDialog::ShowMessage(QMessageBox::Icon icon, const QString& title, const QString& text,
                              const QString& details) {
  QMessageBox box(icon, title, text, QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  if (!details.isEmpty()) box.setDetailedText(details);
  box.setWindowModality(Qt::WindowModal);
  box.exec();
}

// ---- The face the controller sees --------------------------------------------

void CMainDialog::ShowBox(Box which, const std::string& details) {
  const dunmark::core::BoxText& box = dunmark::core::TextOf(which);
  ShowMessage(box.icon == dunmark::core::Icon::kError ? QMessageBox::Critical : QMessageBox::Information,
              QString::fromUtf8(box.title), QString::fromUtf8(box.text), QString::fromStdString(details));
}

void CMainDialog::ShowReaderText(const std::string& text) {
  ShowMessage(QMessageBox::Information, QString::fromUtf8(dunmark::core::kVersionTitle),
              FromReaderBytes(text));
}

void CMainDialog::SetDataField(const std::string& text) {
  m_dataField->setPlainText(FromReaderBytes(text));
}

void CMainDialog::SetEnabled(int controlId, bool enabled) {
  if (auto* control = findChild<QWidget*>(QString::number(controlId)); control != nullptr)
    control->setEnabled(enabled);
}

std::string CMainDialog::SelectedItem(int comboId) const {
  return dunmark::PortNameBytes(SelectedItemText(findChild<QComboBox*>(QString::number(comboId))))
      .toStdString();
}

uint8_t CMainDialog::FirstByte(int editId) const {
  return dunmark::FirstGbkByte(findChild<QLineEdit*>(QString::number(editId))->text());
}

bool CMainDialog::IsChecked(int checkBoxId) const {
  return findChild<QCheckBox*>(QString::number(checkBoxId))->isChecked();
}

bool CMainDialog::CanPress(int buttonId) const {
  const auto* button = findChild<QAbstractButton*>(QString::number(buttonId));
  return button != nullptr && button->isEnabled() && button->isVisible();
}

void CMainDialog::StartTimer() {
  m_pollTimer.start(kPollPeriodMs, this);
}

void CMainDialog::StopTimer() {
  m_pollTimer.stop();
}

void CMainDialog::ScheduleDelivery() {
  QTimer::singleShot(0, this, [this] { m_controller.DeliverHeldBack(); });
}

Korvel_Pump CMainDialog::MessagePump() const {
  return &PumpEvents;
}

void CMainDialog::ShowAbout() {
  // Modal to the dialog alone, like its message boxes.
  CAboutDialog about(this);
  about.setWindowModality(Qt::WindowModal);
  about.exec();
}

void CMainDialog::CardNoted(const std::vector<uint8_t>& card, const std::array<uint8_t, 8>& record) {
  if (m_cardWindow) m_cardWindow->SetCard(card, record);
}

void CMainDialog::DeliverEnd(End end) {
  if (end == End::kOk) {
    accept();
  } else {
    close();
  }
}

// Ends the program through its event loop, at once: the dialog is not ended
// first, the port is not closed and the reader is told nothing.
void CMainDialog::ExitProgram() {
  QCoreApplication::exit(0);
}

void CMainDialog::timerEvent(QTimerEvent* event) {
  if (event->timerId() == m_pollTimer.timerId()) m_controller.Tick();
  QDialog::timerEvent(event);
}

// ---- Shell ------------------------------------------------------------------

bool CMainDialog::OnSysCommand(unsigned commandId) {
  if ((commandId & 0xFFF0u) == dunmark::res::kIdmCard) {
    OnShowCard();
    return true;
  }
  if ((commandId & 0xFFF0u) != dunmark::res::kIdmAboutBox) return false;
  m_controller.Press(dunmark::core::kAboutCommand);
  return true;
}

void CMainDialog::OnShowCard() {
  if (!m_cardWindow) {
    m_cardWindow = new CCardWindow(this);
    m_cardWindow->setAttribute(Qt::WA_DeleteOnClose);
    if (!m_controller.LastCard().empty())
      m_cardWindow->SetCard(m_controller.LastCard(), m_controller.TrackRecord());
    PlaceHelperWindow(m_cardWindow);
  }
  m_cardWindow->show();
  m_cardWindow->raise();
}

void CMainDialog::PlaceHelperWindow(QWidget* window) const {
  const QScreen* screen = this->screen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  const QSize frame =
      window->isVisible() ? window->frameGeometry().size() - window->size() : frameGeometry().size() - size();
  window->resize(window->size().boundedTo(area.size() - frame));
  // What it should leave in sight: the dialog's controls and the program's
  // other windows.
  QList<QRect> keepClear;
  for (const QWidget* child : findChildren<QWidget*>()) {
    if (child->focusPolicy() != Qt::NoFocus)
      keepClear << QRect(child->mapToGlobal(QPoint(0, 0)), child->size());
  }
  for (const QWidget* other : QApplication::topLevelWidgets()) {
    if (other != this && other != window && other->isVisible()) keepClear << other->frameGeometry();
  }
  window->move(dunmark::PlaceBeside(area, frameGeometry(), window->size() + frame, keepClear));
}

void CMainDialog::paintEvent(QPaintEvent* event) {
  if (isMinimized()) {
    const QSize icon(32, 32);
    QPainter painter(this);
    painter.drawPixmap(dunmark::IconOrigin(size(), icon), m_appIcon.pixmap(icon));
    return;
  }
  QDialog::paintEvent(event);
}

#if !defined(Q_OS_WIN)
void CMainDialog::contextMenuEvent(QContextMenuEvent* event) {
  // No system menu to extend here: the About item lives in the dialog's menu.
  QMenu menu(this);
  QAction* about = menu.addAction(dunmark::res::kAboutMenuItem);
  QAction* card = menu.addAction(dunmark::res::kCardMenuItem);
  QAction* chosen = menu.exec(event->globalPos());
  if (chosen == about) OnSysCommand(dunmark::res::kIdmAboutBox);
  if (chosen == card) OnSysCommand(dunmark::res::kIdmCard);
}
#else
bool CMainDialog::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
  Q_UNUSED(eventType);
  const MSG* msg = static_cast<const MSG*>(message);
  if (msg->message == WM_SYSCOMMAND && OnSysCommand(static_cast<unsigned>(msg->wParam))) {
    *result = 0;
    return true;
  }
  return false;
}
#endif
