// TForm1's construction, start-up, activation, settings and key preview.
#include "reader/form1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTimer>
#include <QVBoxLayout>

#include "keyboard/embedded_sounds.h"
#include "keyboard/key_codes.h"
#include "reader/accessibility.h"
#include "reader/reader_application.h"
#include "reader/settings.h"
#include "reader/work_folder.h"

namespace {

constexpr int kFormWidth = 826;
constexpr int kFormHeight = 413;

QFont SansSerif(int pixelSize, bool bold) {
  QFont font(QStringLiteral("Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

}  // namespace

TForm1::TForm1(const ReaderServices& services, QWidget* parent)
    : QWidget(parent),
      MediaPlayer1(*services.media),
      MediaPlayer2(*services.media),
      klahvilugeja(*services.media),
      services_(services) {
  setWindowTitle(QStringLiteral("Talking Reader"));
  resize(kFormWidth, kFormHeight);

  pass = new QLineEdit(this);
  pass->setEchoMode(QLineEdit::Password);
  // '#' (35) for every typed character, on pale green.
  pass->setStyleSheet(QStringLiteral(
      "QLineEdit { background-color: rgb(192, 220, 192); lineedit-password-character: 35; }"));
  pass->setFont(SansSerif(32, true));
  pass->setAccessibleName(QStringLiteral("Access code"));
  pass->hide();

  Memo1 = new QPlainTextEdit(this);
  Memo1->setReadOnly(true);
  // Read-only, but the keyboard can still move and select, so a screen reader can read it.
  Memo1->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setFont(SansSerif(27, false));
  Memo1->setAccessibleName(QStringLiteral("Page text"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Memo1);
  // `pass` is laid over Memo1 by hand when shown, so it stays out of the layout.
  setTabOrder(pass, Memo1);
  SetUpAccessibility(this, pass);

  MediaPlayer1.FileName = "bod.mp3";
  MediaPlayer1.Shareable = true;
  MediaPlayer1.OnNotify = [this](TMciPlayer&) { MediaPlayer1Notify(); };
  MediaPlayer2.FileName = "bod_abi.mp3";
  MediaPlayer2.Shareable = true;

  HttpClient1.Host = services.serverHost;
  HttpClient1.Port = services.serverPort;
  HttpClient1.TimeOut = 15000;
  HttpClient1.InputFileMode = false;
  HttpClient1.OnAboutToSend = [this](THttpClient& sender) { HttpClient1AboutToSend(sender); };

  Timer1 = new QTimer(this);
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

  qApp->installEventFilter(this);

  try {
    FormCreate();
  } catch (const std::exception& e) {
    ShowErrorBox(QString::fromUtf8(e.what()));
  }
  Timer1->start();
}

TForm1::~TForm1() {
  if (qApp) qApp->removeEventFilter(this);
}

void TForm1::FormCreate() {
  connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState s) {
    if (s == Qt::ApplicationActive) Activate();
  });
  state.scrollLockReference = services_.keyboard->GetKeyState(vk::kScroll);
  SetNumLock();
  state.speechRate = "2";
  state.voice = "0";
  state.pagePath = "0";
  state.lastPagePath = "-";
  state.answerWait = false;
  state.speedDialog = false;
  state.voiceDialog = false;
  state.menuPage = false;
  state.lastActivityTime = services_.clock->Now();
  state.idleCounter = 0;
  MediaPlayer1.SetNotify(true);
  MediaPlayer2.SetNotify(true);
  MediaPlayer1.SetTimeFormat(mci::kFormatMilliseconds);
  state.menuKeySet.reset();
  state.requestBusy = false;
  state.workFolder = find_work_folder();
  state.accessCode = services_.rememberedAccessCode.value_or("wqwqw");
  // The program carries its own ding; it is written into the work folder before any
  // prompt can need it.
  state.fallbackSoundPath = state.workFolder + "ding.wav";
  WriteFileIfMissing(state.fallbackSoundPath,
                     EmbeddedSounds::Find(SoundKind::Wave, "ding").toStdString());
  state.requestId = "&ID=" + std::to_string(QRandomGenerator::global()->bounded(1000000));

  // Remembered settings: used when the file exists and both lines are valid.
  const std::string settingsPath = state.workFolder + "vorbu.ini";
  try {
    const Settings saved = ReadSettings(settingsPath);
    if (SettingsValid(saved)) {
      state.speechRate = saved.speechRate;
      state.voice = saved.voice;
    }
  } catch (const EInOutError&) {
    // No usable settings file: the defaults stand and the file is left alone.
  }

  CreateEmptyFile(state.workFolder + "vaikus.wav");
}

void TForm1::Activate() {
  state.idleCounter = -3;
}

void TForm1::SetNumLock() {
  KeyboardState::Table table;
  services_.keyboard->GetKeyboardState(table);
  table[vk::kNumLock] = 1;
  table[vk::kCapital] = 1;
  services_.keyboard->SetKeyboardState(table);
}

std::string TForm1::find_work_folder() {
  return FindWorkFolder(services_.workFolderCandidates.empty() ? WorkFolderCandidates()
                                                               : services_.workFolderCandidates);
}

void TForm1::ini_valja() {
  WriteSettings(state.workFolder + "vorbu.ini", Settings{state.speechRate, state.voice});
}

void TForm1::ini_sisse() {
  const Settings s = ReadSettings(state.workFolder + "vorbu.ini");
  state.speechRate = s.speechRate;
  state.voice = s.voice;
}

QStringList TForm1::MemoLines() const {
  return Memo1->toPlainText().split(QLatin1Char('\n'));
}

bool TForm1::ApplicationIsActive() const {
  if (services_.applicationActive) return services_.applicationActive();
  return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

void TForm1::WaitWhile(const std::function<bool()>& waiting) {
  // Sleeps until the next event; Timer1's tick wakes it at least once a second.
  while (waiting() && !ApplicationQuitting()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
  }
}

bool TForm1::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) FormActivate();
  return QWidget::event(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  RequestApplicationQuit();
  QWidget::closeEvent(event);
}

// Key preview: every key-down meant for this window reaches FormKeyDown before the
// focused control. Qt hands a key event to the application's filters once for each
// widget it propagates through; only the first delivery (to the focus widget) counts.
bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::KeyPress && type != QEvent::KeyRelease) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || (widget != this && !isAncestorOf(widget))) return false;
  QWidget* focus = QApplication::focusWidget();
  if (widget != (focus && (focus == this || isAncestorOf(focus)) ? focus : this)) return false;

  auto* keyEvent = static_cast<QKeyEvent*>(event);
  const bool numLockOn = services_.keyboard->GetKeyState(vk::kNumLock) & 1;
  uint16_t key = VirtualKeyFor(KeyInputFrom(*keyEvent), numLockOn);
  if (type == QEvent::KeyRelease) {
    if (key != 0 && !keyEvent->isAutoRepeat()) services_.keyboard->KeyUp(key);
    return false;
  }
  if (key != 0) services_.keyboard->KeyDown(key);
  if (key != 0) FormKeyDown(key);

  if (watched == pass) {
    // The access-code box's character handler: Enter and every typed character.
    const QString text = keyEvent->text();
    char c = 0;
    if (keyEvent->key() == Qt::Key_Return || keyEvent->key() == Qt::Key_Enter) {
      c = 13;
    } else if (!text.isEmpty() && text.at(0).isPrint()) {
      c = static_cast<char>(text.at(0).unicode() & 0xFF);
    }
    if (c != 0) passKeyPress(c);
    if (c == 13) return true;  // handled: the box is hidden already
  } else if (watched == Memo1 && !keyEvent->text().isEmpty()) {
    char c = static_cast<char>(keyEvent->text().at(0).unicode() & 0xFF);
    Memo1KeyPress(c);
  }
  return false;
}
