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
#include "reader/text_codec.h"
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

// Keys with which a text area moves its caret (with or without modifiers).
bool MovesCaret(int key) {
  switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
      return true;
    default:
      return false;
  }
}

}  // namespace

TForm1::TForm1(const ReaderServices& services, QWidget* parent)
    : QWidget(parent),
      MediaPlayer1(*services.media),
      MediaPlayer2(*services.media),
      klahvilugeja(*services.media),
      services_(services),
      places_(services.placesPath) {
  setWindowTitle(QStringLiteral("Talking Reader"));
  resize(kFormWidth, kFormHeight);

  pass = new QLineEdit(this);
  pass->setEchoMode(QLineEdit::Password);
  // '#' (35) for every typed character, on pale green.
  pass->setStyleSheet(QStringLiteral(
      "QLineEdit { background-color: rgb(192, 220, 192); lineedit-password-character: 35; }"));
  pass->setFont(SansSerif(32, true));
  pass->setAccessibleName(QStringLiteral("Access code"));
  pass->setContextMenuPolicy(Qt::NoContextMenu);
  pass->hide();

  Memo1 = new QPlainTextEdit(this);
  Memo1->setReadOnly(true);
  // Read-only but selectable, with a caret a screen reader can place and read by; the
  // keys that would move the caret are the reader's commands (see PreviewKey).
  Memo1->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setFont(SansSerif(27, false));
  // A page is read, never edited: no undo history to keep (a long page would fill it).
  Memo1->setUndoRedoEnabled(false);
  Memo1->setAccessibleName(QStringLiteral("Page text"));
  // No context menu: the Menu key would open one that swallows every later key.
  Memo1->setContextMenuPolicy(Qt::NoContextMenu);
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
  MediaPlayer1.SetSpeed(services.listeningSpeed);
  MediaPlayer2.SetSpeed(services.listeningSpeed);

  HttpClient1.Host = services.serverHost;
  HttpClient1.Port = services.serverPort;
  HttpClient1.TimeOut = 15000;
  HttpClient1.InputFileMode = false;
  HttpClient1.OnAboutToSend = [this](THttpClient& sender) { HttpClient1AboutToSend(sender); };
  HttpClient2.OnPacketRecvd = [this] { PageSpeechPacket(); };
  HttpClient2.OnDone = [this](bool ok, const std::string& error) { PageSpeechDone(ok, error); };
  HttpClient3.OnDone = [this](bool ok, const std::string&) { MapArrived(ok); };

  Timer1 = new QTimer(this);
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

  workingTick_ = new QTimer(this);
  connect(workingTick_, &QTimer::timeout, this, [this] { WorkingTick(); });
  markTimer_ = new QTimer(this);
  markTimer_->setSingleShot(true);
  connect(markTimer_, &QTimer::timeout, this, [this] { UpdateMark(); });

  // While the access-code box is shown, the keyboard stays in it.
  connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
    if (pass->isVisible() && now != pass) pass->setFocus();
  });

  if (auto* app = dynamic_cast<ReaderApplication*>(qApp)) {
    app->SetKeyPreview(
        this, [this](QWidget* receiver, QKeyEvent* event) { return PreviewKey(receiver, event); });
    // An error that reaches the box is also heard, from memory: it needs neither the work
    // folder nor a player, either of which may be what failed.
    app->SetErrorSound(this, [this] { mangi_res_heli("tx_tekkisviga"); });
  }

  try {
    FormCreate();
  } catch (const std::exception& e) {
    ShowErrorBox(QString::fromUtf8(e.what()));
  }
  Timer1->start();
}

TForm1::~TForm1() {
  // The program ends: a page left before its end is continued at the next start.
  try {
    RememberPlace();
  } catch (const std::exception&) {
    // Nothing to report to at the end: the place is lost, the program ends all the same.
  }
  if (auto* app = dynamic_cast<ReaderApplication*>(qApp)) app->RemoveHooks(this);
  // Closing the window (in the base class's destructor, after this one) changes the focus
  // and the application's state; the handlers of those must not reach a form that is
  // already gone.
  disconnect(qApp, nullptr, this, nullptr);
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

bool TForm1::Quitting() const {
  return services_.quitting ? services_.quitting() : ApplicationQuitting();
}

void TForm1::WaitWhile(const std::function<bool()>& waiting) {
  // Sleeps until the next event; Timer1's tick wakes it at least once a second.
  while (waiting() && !Quitting()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
  }
}

bool TForm1::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate && ReadyForFirstPage()) FormActivate();
  return QWidget::event(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  RequestApplicationQuit();
  QWidget::closeEvent(event);
}

// Key preview: every key-down meant for this window reaches FormKeyDown before the
// focused control, exactly once (the application calls this once per key event).
bool TForm1::PreviewKey(QWidget* receiver, QKeyEvent* event) {
  // A key that reaches the error box (a sighted helper clicked it) is the reader's too.
  auto* app = dynamic_cast<ReaderApplication*>(qApp);
  if (app && app->ErrorBox() && receiver->window() == app->ErrorBox()) receiver = this;
  if (receiver != this && !isAncestorOf(receiver)) return false;
  if (pass->isVisible() && receiver != pass) {
    // Whatever took the focus, a key typed while the box is shown goes into the box.
    pass->setFocus();
    QCoreApplication::sendEvent(pass, event);
    return true;
  }
  const bool numLockOn = services_.keyboard->GetKeyState(vk::kNumLock) & 1;
  uint16_t key = VirtualKeyFor(KeyInputFrom(*event), numLockOn);
  if (event->type() == QEvent::KeyRelease) {
    if (!event->isAutoRepeat()) services_.keyboard->KeyUp(key);
    return false;
  }
  services_.keyboard->KeyDown(key);
  const bool intoBox = pass->isVisible();
  FormKeyDown(key);
  if (intoBox) {
    // The access-code box's character handler: every key typed into it clicks (Enter
    // stores the code), except a modifier held for the next character.
    const QString text = event->text();
    char c = 0;
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      c = 13;
    } else if (!text.isEmpty()) {
      // The character in the code page; one the code page lacks still counts as typed.
      const int byte = Windows1257Byte(text.at(0));
      c = static_cast<char>(byte > 0 && byte != 13 ? byte : '?');
    }
    if (c != 0) {
      passKeyPress(c);
    } else if (!IsModifierKey(key)) {
      mangi_res_heli("click");  // a key that types no character: the cursor keys, F-keys
    }
    // The box keeps the focus: Tab never leaves it. Enter has hidden it already.
    return c == 13 || key == vk::kTab;
  }
  if (receiver == Memo1 && !event->text().isEmpty()) {
    char c = static_cast<char>(event->text().at(0).unicode() & 0xFF);
    Memo1KeyPress(c);
  }
  // The keys that move a caret are the reader's commands (or may become ones) and
  // nothing else: they never move Memo1's caret as well, so no screen reader reads the
  // character or line it would land on. The mouse and a screen reader's own review
  // still read and select the text.
  return MovesCaret(event->key());
}
