#include "main_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTimerEvent>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "about_dialog.h"
#include "data_field.h"
#include "dunmark_logic.h"
#include "dunmark_resources.h"
#include "korvel.h"

#if defined(Q_OS_WIN)
#include <windows.h>
#endif

void* g_hComm = nullptr;

namespace {

// Message box titles; each ends in the full-width colon.
const QString kTitleInformation = QStringLiteral("Information：");
const QString kTitleError = QStringLiteral("Error：");
const QString kTitleErrorUpper = QStringLiteral("ERROR：");
const QString kTitleTips = QStringLiteral("Tips：");
const QString kTitleSuccess = QStringLiteral("Success：");

constexpr auto kInformation = QMessageBox::Information;
constexpr auto kError = QMessageBox::Critical;

// The pump the library runs while a call waits: the dialog keeps painting
// and its timers keep ticking, while clicks and keys wait for the call to end.
void PumpEvents(void* /*context*/) {
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// A combo box's list selection is cleared when the user types into its edit
// field, and set again when an item is picked.
constexpr char kSelectionCleared[] = "selectionCleared";

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

void CMainDialog::CreateControls() {
  const dunmark::DialogUnits du = dunmark::DialogUnits::FromFont(font());
  setFixedSize(du.X(434), du.Y(288));

  // Controls are made in template order, which is also the tab order.
  // Group boxes and labels are siblings of the controls and take no focus.
  QList<QGroupBox*> groups;
  // A dialog's group box: the frame's top line runs through the caption.
  const QString groupStyle =
      QStringLiteral(
          "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: %1px; }"
          "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: %2px; padding: "
          "0 2px; }")
          .arg(fontMetrics().height() / 2)
          .arg(du.X(3));
  auto group = [&](const QString& caption, int x, int y, int w, int h) {
    auto* box = new QGroupBox(caption, this);
    box->setStyleSheet(groupStyle);
    box->setGeometry(du.Rect(x, y, w, h));
    groups << box;
  };
  auto label = [&](const QString& text, int x, int y, int w, int h) {
    auto* item = new QLabel(text, this);
    item->setTextFormat(Qt::PlainText);
    item->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    item->setWordWrap(true);
    item->setGeometry(du.Rect(x, y, w, h));
    return item;
  };
  auto button = [&](int id, const QString& text, int x, int y, int w, int h) {
    auto* item = new QPushButton(text, this);
    item->setObjectName(QString::number(id));
    item->setAutoDefault(false);
    item->setDefault(false);
    item->setFocusPolicy(Qt::StrongFocus);
    item->setGeometry(du.Rect(x, y, w, h));
    return item;
  };
  auto combo = [&](int id, const QString& name, int x, int y, int w, int listHeight,
                   const QStringList& items) {
    auto* item = new QComboBox(this);
    item->setObjectName(QString::number(id));
    item->setAccessibleName(name);
    item->setEditable(true);
    item->setInsertPolicy(QComboBox::NoInsert);
    item->setCompleter(nullptr);
    item->addItems(items);
    connect(item->lineEdit(), &QLineEdit::textEdited, item,
            [item] { item->setProperty(kSelectionCleared, true); });
    auto picked = [item] { item->setProperty(kSelectionCleared, false); };
    connect(item, &QComboBox::currentIndexChanged, item, picked);
    connect(item, &QComboBox::activated, item, picked);
    const int height = item->sizeHint().height();
    item->setGeometry(du.X(x), du.Y(y), du.X(w), height);
    const int rowHeight = std::max(1, item->fontMetrics().height() + 2);
    item->setMaxVisibleItems(std::max(1, (du.Y(listHeight) - height) / rowHeight));
    return item;
  };
  auto edit = [&](int id, const QString& name, int x, int y, int w, int h) {
    auto* item = new QLineEdit(this);
    item->setObjectName(QString::number(id));
    item->setAccessibleName(name);
    item->setGeometry(du.Rect(x, y, w, h));
    return item;
  };

  const QStringList rates = {QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("19200"),
                             QStringLiteral("38400")};

  group(QStringLiteral("COM Setting"), 7, 7, 414, 42);
  QLabel* portLabel = label(QStringLiteral("Port"), 15, 21, 17, 8);
  m_portBox = combo(1000, QStringLiteral("Port"), 35, 23, 48, 58, dunmark::FixedPortNames());
  portLabel->setBuddy(m_portBox);
  QLabel* baudLabel = label(QStringLiteral("Baud"), 91, 22, 17, 8);
  m_baudBox = combo(1001, QStringLiteral("Baud"), 119, 24, 48, 58, rates);
  baudLabel->setBuddy(m_baudBox);
  m_openCom = button(1002, QStringLiteral("Open Com"), 180, 21, 50, 14);
  m_closeCom = button(1003, QStringLiteral("Close Com"), 241, 21, 50, 14);
  m_exit = button(1004, QStringLiteral("Exit"), 300, 21, 50, 14);
  group(QStringLiteral("Version"), 7, 57, 58, 44);
  m_getVersion = button(1005, QStringLiteral("Get Version"), 13, 74, 50, 14);
  group(QStringLiteral("Mode Choose"), 71, 62, 187, 40);
  group(QStringLiteral("Baud Setting"), 264, 62, 155, 40);
  m_activeMode = button(1006, QStringLiteral("Active Mode"), 75, 77, 52, 14);
  m_commandMode = button(1007, QStringLiteral("Command Mode"), 131, 77, 55, 14);
  m_searchMode = button(1008, QStringLiteral("Serch Mode"), 192, 77, 55, 14);
  m_baudChoose = button(1009, QStringLiteral("Baud Choose"), 287, 79, 52, 14);
  m_baudChooseBox = combo(1010, QStringLiteral("Baud Setting"), 359, 79, 48, 60, rates);
  group(QStringLiteral("Output Setting"), 14, 109, 403, 98);
  group(QStringLiteral("First Track"), 18, 122, 56, 62);
  group(QStringLiteral("Second Track"), 83, 123, 62, 61);
  group(QStringLiteral("Third Track"), 151, 125, 63, 59);
  label(QStringLiteral("Start "), 20, 140, 21, 14);
  m_track1Start = edit(1013, QStringLiteral("First Track Start"), 47, 137, 20, 14);
  label(QStringLiteral("End"), 19, 164, 26, 8);
  m_track1End = edit(1014, QStringLiteral("First Track End"), 48, 161, 19, 12);
  label(QStringLiteral("Start"), 84, 140, 21, 8);
  label(QStringLiteral("End"), 83, 163, 13, 8);
  label(QStringLiteral("Start"), 154, 139, 21, 8);
  label(QStringLiteral("End"), 157, 161, 13, 8);
  m_track2Start = edit(1015, QStringLiteral("Second Track Start"), 116, 137, 23, 14);
  m_track2End = edit(1016, QStringLiteral("Second Track End"), 114, 160, 23, 14);
  m_track3Start = edit(1017, QStringLiteral("Third Track Start"), 181, 137, 24, 14);
  m_track3End = edit(1018, QStringLiteral("Third Track End"), 181, 157, 24, 14);
  group(QStringLiteral("End Mark"), 224, 125, 63, 60);
  m_enterMark = new QCheckBox(QStringLiteral("Enter Mark"), this);
  m_enterMark->setObjectName(QStringLiteral("1019"));
  m_enterMark->setGeometry(du.Rect(229, 147, 54, 14));
  m_dataSetting = button(1020, QStringLiteral("Data Setting"), 305, 145, 54, 23);
  group(QStringLiteral("ReadCardSetting"), 15, 211, 404, 59);
  m_commandReadCard = button(1021, QStringLiteral("Command Read Card"), 19, 224, 74, 14);
  m_clearInformation = button(1022, QStringLiteral("Clear Information"), 19, 242, 73, 15);
  QLabel* dataLabel = label(QStringLiteral("Data Packets"), 99, 226, 23, 30);
  m_dataField = new CDataField(this);
  m_dataField->setObjectName(QStringLiteral("1026"));
  m_dataField->setAccessibleName(QStringLiteral("Data Packets"));
  m_dataField->setGeometry(du.Rect(129, 221, 280, 40));
  dataLabel->setBuddy(m_dataField);

  // Frames stay behind the controls they surround.
  for (QGroupBox* box : groups) box->lower();

  m_closeCom->setEnabled(false);

  connect(m_exit, &QPushButton::clicked, this, &CMainDialog::OnExit);
  connect(m_closeCom, &QPushButton::clicked, this, &CMainDialog::OnCloseCom);
  connect(m_activeMode, &QPushButton::clicked, this, &CMainDialog::OnActiveMode);
  connect(m_commandMode, &QPushButton::clicked, this, &CMainDialog::OnCommandMode);
  connect(m_clearInformation, &QPushButton::clicked, this, &CMainDialog::OnClearInformation);
  connect(m_searchMode, &QPushButton::clicked, this, &CMainDialog::OnSearchMode);
  connect(m_getVersion, &QPushButton::clicked, this, &CMainDialog::OnGetVersion);
  connect(m_baudChoose, &QPushButton::clicked, this, &CMainDialog::OnBaudChoose);
  connect(m_openCom, &QPushButton::clicked, this, &CMainDialog::OnOpenCom);
  connect(m_commandReadCard, &QPushButton::clicked, this, &CMainDialog::OnCommandReadCard);
  connect(m_dataSetting, &QPushButton::clicked, this, &CMainDialog::OnDataSetting);
}

void CMainDialog::OnInitDialog() {
  DoDataExchange(false);

#if defined(Q_OS_WIN)
  if (HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE); menu != nullptr) {
    const QString item = dunmark::res::kAboutMenuItem;
    if (!item.isEmpty()) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, dunmark::res::kIdmAboutBox, reinterpret_cast<LPCWSTR>(item.utf16()));
    }
  }
#endif

  setWindowIcon(m_appIcon);

  m_portBox->setCurrentIndex(0);
  m_baudBox->setCurrentIndex(1);
  m_baudChooseBox->setCurrentIndex(1);

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
    m_track1Start->setText(m_firstTrackStart);
    m_dataField->setPlainText(m_dataPackets);
    m_dataField->SetByteLimit(kDataPacketsLimit);
    return true;
  }
  m_firstTrackStart = m_track1Start->text();
  m_dataPackets = m_dataField->toPlainText();
  if (dunmark::GbkByteCount(m_dataPackets) > kDataPacketsLimit) {
    ShowMessage(QMessageBox::Warning, QStringLiteral("Dunmark"),
                QStringLiteral("Please enter no more than %1 characters.").arg(kDataPacketsLimit));
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
  // The close box waits, like a click, until a waiting library call is over.
  if (m_busy) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void CMainDialog::ShowMessage(QMessageBox::Icon icon, const QString& title, const QString& text,
                              const QString& informative) {
  QMessageBox box(icon, title, text, QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  if (!informative.isEmpty()) box.setInformativeText(informative);
  box.setWindowModality(Qt::WindowModal);
  box.exec();
}

// While a call waits, the pump holds user input back; a click that reaches
// a handler anyway (sent by the program itself) finds m_busy set and is
// dropped, so no second command starts on the port in the middle of one.
template <typename Call>
int CMainDialog::RunLibraryCall(Call call) {
  const bool outermost = !m_busy;
  m_busy = true;
  const int status = call();
  if (outermost) m_busy = false;
  return status;
}

// ---- Connection panel -------------------------------------------------------

void CMainDialog::OnOpenCom() {
  if (m_busy) return;
  const QString portName = SelectedItemText(m_portBox);
  const uint32_t rate = dunmark::RateFromText(SelectedItemText(m_baudBox));
  const QByteArray port = dunmark::PortNameBytes(portName);

  g_hComm = Korvel_CommOpenWithBaud(port.constData(), rate);
  if (g_hComm == nullptr) {
    const QString hint = dunmark::PortAccessHint(portName);
    if (!hint.isEmpty()) std::fprintf(stderr, "dunmark: %s\n", hint.toLocal8Bit().constData());
    ShowMessage(kError, kTitleError, QStringLiteral("Open Com Fail!"), hint);
    m_openCom->setEnabled(true);
    return;
  }
  Korvel_SetMessagePump(g_hComm, &PumpEvents, nullptr);

  unsigned char probe[32] = {};
  const int status = RunLibraryCall([&] { return Korvel_Search(g_hComm, probe); });
  if (status == KORVEL_OK) {
    ShowMessage(kInformation, kTitleTips, QStringLiteral("Successful test to brush card slot !"));
    m_closeCom->setEnabled(true);
    m_openCom->setEnabled(false);
    return;
  }
  if (Korvel_CommClose(g_hComm) != KORVEL_OK) {
    ShowMessage(kError, kTitleError, QStringLiteral("Closed serial failure!"));
  } else {
    g_hComm = nullptr;
    ShowMessage(kInformation, kTitleTips, QStringLiteral("No detection to brush card slot !"));
  }
  m_openCom->setEnabled(true);
}

void CMainDialog::OnCloseCom() {
  if (m_busy) return;
  if (Korvel_CommClose(g_hComm) != KORVEL_OK) {
    ShowMessage(kError, kTitleErrorUpper, QStringLiteral("Closed serial failure!"));
    return;
  }
  g_hComm = nullptr;
  m_openCom->setEnabled(true);
  m_closeCom->setEnabled(false);
}

void CMainDialog::OnExit() {
  std::exit(0);
}

void CMainDialog::OnBaudChoose() {
  if (m_busy) return;
  const uint32_t rate = dunmark::RateFromText(SelectedItemText(m_baudChooseBox));
  const int status = RunLibraryCall([&] { return Korvel_SetCommBaud(g_hComm, rate); });
  if (status != KORVEL_OK) {
    ShowMessage(kError, kTitleError, QStringLiteral("Set baud rate fail!"));
    return;
  }
  // The reader now listens at the new rate: the port is reopened at it.
  Korvel_CommClose(g_hComm);
  g_hComm = nullptr;
  m_openCom->setEnabled(true);
  m_closeCom->setEnabled(false);
  ShowMessage(kInformation, kTitleSuccess, QStringLiteral("Set baud rate success!"));
}

// ---- Reader panel -----------------------------------------------------------

void CMainDialog::OnActiveMode() {
  if (m_busy) return;
  const int status = RunLibraryCall([] { return Korvel_ReadMode(g_hComm, KORVEL_MODE_ACTIVE); });
  if (status != KORVEL_OK) {
    ShowMessage(kError, kTitleInformation, QStringLiteral("Setting Active Mode Failure !"));
    return;
  }
  ShowMessage(kInformation, kTitleInformation, QStringLiteral("Setting Active Mode Success !"));
  m_pollTimer.start(kPollPeriodMs, this);
}

void CMainDialog::OnCommandMode() {
  if (m_busy) return;
  const int status = RunLibraryCall([] { return Korvel_ReadMode(g_hComm, KORVEL_MODE_COMMAND); });
  if (status != KORVEL_OK) {
    ShowMessage(kError, kTitleInformation, QStringLiteral("Set Command Mode Failure !"));
    return;
  }
  ShowMessage(kInformation, kTitleInformation, QStringLiteral("Set Command Mode Success!"));
  m_pollTimer.stop();
}

void CMainDialog::OnSearchMode() {
  if (m_busy) return;
  unsigned char mode[12] = {};
  const int status = RunLibraryCall([&] { return Korvel_Search(g_hComm, mode); });
  if (status != KORVEL_OK) {
    ShowMessage(kError, kTitleInformation, QStringLiteral("Search Mode failure"));
  } else if (mode[0] == KORVEL_MODE_ACTIVE) {
    ShowMessage(kInformation, kTitleInformation, QStringLiteral("\"Active Mode\"\r\n\r\n"));
  } else {
    ShowMessage(kInformation, kTitleInformation, QStringLiteral("\"Command Mode\"\r\n\r\n"));
  }
}

void CMainDialog::OnGetVersion() {
  if (m_busy) return;
  unsigned char text[32] = {};
  const int status = RunLibraryCall([&] { return Korvel_Reset(g_hComm, text); });
  if (status != KORVEL_OK) {
    ShowMessage(kError, kTitleInformation, QStringLiteral("Get Version Fail"));
    return;
  }
  ShowMessage(kInformation, kTitleInformation, dunmark::ReaderText(text, sizeof text));
}

void CMainDialog::OnCommandReadCard() {
  if (m_busy) return;
  unsigned char data[KORVEL_DATA_AREA] = {};
  RunLibraryCall([&] { return Korvel_ReadData(g_hComm, data); });
  m_dataField->setPlainText(dunmark::ReaderText(data, sizeof data));
}

void CMainDialog::OnClearInformation() {
  m_dataField->setPlainText(QString());
}

void CMainDialog::OnDataSetting() {
  if (m_busy) return;
  const std::array<uint8_t, 8> record =
      dunmark::BuildTrackRecord({m_track1Start->text(), m_track1End->text(), m_track2Start->text(),
                                 m_track2End->text(), m_track3Start->text(), m_track3End->text()},
                                m_enterMark->isChecked());
  const int status = RunLibraryCall([&] { return Korvel_SetTrack(g_hComm, record.data()); });
  if (status == KORVEL_OK) {
    ShowMessage(kInformation, kTitleInformation, QStringLiteral("Setting success"));
  } else {
    ShowMessage(kError, kTitleError, QStringLiteral("Setting Failure"));
  }
}

void CMainDialog::OnTimer(int timerId) {
  // A tick that arrives while another call waits would take that call's reply.
  if (timerId != kPollTimer || m_busy) return;
  unsigned char data[KORVEL_DATA_AREA] = {};
  const int status = RunLibraryCall([&] { return Korvel_GetTrack(g_hComm, data); });
  if (status == KORVEL_OK) m_dataField->setPlainText(dunmark::ReaderText(data, sizeof data));
}

void CMainDialog::timerEvent(QTimerEvent* event) {
  if (event->timerId() == m_pollTimer.timerId()) OnTimer(kPollTimer);
  QDialog::timerEvent(event);
}

// ---- Shell ------------------------------------------------------------------

bool CMainDialog::OnSysCommand(unsigned commandId) {
  if ((commandId & 0xFFF0u) != dunmark::res::kIdmAboutBox) return false;
  CAboutDialog about;
  about.exec();
  return true;
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
  if (menu.exec(event->globalPos()) == about) OnSysCommand(dunmark::res::kIdmAboutBox);
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
