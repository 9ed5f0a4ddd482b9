#include "ui/main_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QShortcut>
#include <QUrl>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QValidator>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>

#include "capture/host_info.h"
#include "capture/os_line.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/privilege.h"
#include "ui/details_window.h"
#include "resources/dialogs.h"
#include "resources/icons.h"
#include "resources/menus.h"
#include "ui/context_menu.h"
#include "ui/dialog_units.h"
#include "ui/tray_icon.h"

namespace trovix {
namespace {

using namespace resources;

// New packets reach the list when the capture thread says so, at most once per gap. The
// helper hands its ring over every 80 ms, so a row is listed within about 80 ms of
// arriving, with about a dozen list updates a second; a flood that fills blocks faster
// still costs at most one update per gap.
constexpr int kRowGapMs = 30;
// Qt's list lays out all its rows again at each update: the next update waits at least
// this many times as long as the last layout took, so a long list under a flood is
// updated less often rather than taking the window's time (and the CPU the capture needs).
constexpr int kLayoutShare = 4;
// The capture helper's ring for the window: the kernel clears it at every "go!".
constexpr RingShape kWindowRing{1u << 20, 4, 80};
// With "keep more", the most the helper takes: a download's burst over loopback fills
// the smaller ring before the helper has handed a block over.
constexpr RingShape kKeepMoreRing{1u << 20, 16, 80};
constexpr int kFilterTypedMax = 21;
// How often the title says how far a capture file has been read.
constexpr int kProgressMs = 250;

QString Latin1(const std::string& text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }

// Refuses typing that would take a field beyond `max` characters. A longer text that the
// program set (from the settings file or picked from the history) stands whole, and the
// user may still shorten it.
class TypingLimit : public QValidator {
 public:
  TypingLimit(QLineEdit* edit, int max) : QValidator(edit), edit_(edit), max_(max), accepted_(edit->text().size()) {}

  State validate(QString& text, int&) const override {
    // A text the program sets arrives with the edit unmodified; typing modifies it. A text
    // in IPv6 form may be longer.
    int max = IsIpv6FilterText(text.toLatin1().toStdString()) ? kFilterTextIpv6Max : max_;
    if (text.size() > max && text.size() > accepted_ && edit_->isModified()) return Invalid;
    accepted_ = text.size();
    return Acceptable;
  }

 private:
  QLineEdit* edit_;
  int max_;
  mutable qsizetype accepted_;  // length of the text the edit holds now
};

// What the field shows is what the user typed or picked: no inline completion.
void SetUpField(QComboBox* box) {
  box->setEditable(true);
  box->setInsertPolicy(QComboBox::NoInsert);
  box->setCompleter(nullptr);
}

// A field's text as the capture reads it: at most `max` single-byte characters.
std::string FieldText(const QComboBox* box, int max) {
  return box->currentText().left(max).toLatin1().toStdString();
}

}  // namespace

MainDialog::MainDialog(CaptureState& state, const Services& services, QWidget* parent)
    : QDialog(parent), state_(state), services_(services) {
  setWindowTitle(QString::fromLatin1(kMainDialog.title));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(DialogFont());
  CreateControls();
  rowTimer_.setSingleShot(true);
  connect(&rowTimer_, &QTimer::timeout, this, [this] {
    if (!rowsWaiting_) return;
    rowsWaiting_ = false;
    FetchRows();
    StartRowTimer();
  });
  progressTimer_.setInterval(kProgressMs);
  connect(&progressTimer_, &QTimer::timeout, this, &MainDialog::ShowReadingProgress);
  connect(new QShortcut(QKeySequence::Open, this), &QShortcut::activated, this, [this] { Command(kCmdOpenCaptureFile); });
  connect(new QShortcut(kFilterListKey, this), &QShortcut::activated, this, [this] { Command(kCmdFilterList); });
  connect(new QShortcut(kShowAllKey, this), &QShortcut::activated, this, [this] { Command(kCmdShowAll); });
  setAcceptDrops(true);
  ConnectTrayIcon();
  StartUp();
}

MainDialog::~MainDialog() {
  // The capture thread reports to this window; it must be gone first.
  StopCaptureThread(state_);
}

void MainDialog::CreateControls() {
  DialogUnits du(font());
  // The seed's size is the first and the least; the list takes any room added.
  seedSize_ = QSize(du.X(kMainDialog.width), du.Y(kMainDialog.height));
  setMinimumSize(seedSize_);
  resize(seedSize_);
  for (const ControlTemplate& c : kMainControls) {
    QWidget* w = nullptr;
    QRect at = du.Rect(c);
    switch (c.kind) {
      case ControlKind::kComboDropDown: {
        auto* box = new QComboBox(this);
        SetUpField(box);
        at.setHeight(std::min(box->sizeHint().height(), du.Y(15)));
        w = box;
        break;
      }
      case ControlKind::kToggleButton:
      case ControlKind::kPushButton: {
        QString text = QString::fromLatin1(c.text);
        if (c.multiline) text.replace(QLatin1Char(' '), QLatin1Char('\n'));
        auto* button = new QPushButton(text, this);
        button->setCheckable(c.kind == ControlKind::kToggleButton);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, id = c.id] { Command(id); });
        w = button;
        break;
      }
      case ControlKind::kListBox:
        // The list and its column headers, which the pane lays out itself.
        pane_ = new PacketListPane(state_, du, this);
        controls_.insert(pane_->controls().begin(), pane_->controls().end());
        continue;
      case ControlKind::kColumnHeader: continue;
      case ControlKind::kLabel: {
        auto* label = new QLabel(QString::fromLatin1(c.text), this);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAlignment(Qt::AlignCenter);
        w = label;
        break;
      }
    }
    w->setObjectName(QString::number(c.id));
    w->setGeometry(at);
    controls_[c.id] = w;
  }
  list_ = &pane_->model();
  paneRect_ = pane_->geometry();

  from_ = static_cast<QComboBox*>(controls_[kIdFrom]);
  to_ = static_cast<QComboBox*>(controls_[kIdTo]);
  bind_ = static_cast<QComboBox*>(controls_[kIdBind]);
  go_ = static_cast<QPushButton*>(controls_[kIdGo]);
  stop_ = static_cast<QPushButton*>(controls_[kIdStop]);
  both_ = static_cast<QPushButton*>(controls_[kIdBothTraffic]);
  connect(pane_, &PacketListPane::rowOpened, this, [this](int row) {
    state_.selectedPacketIndex.store(row);
    ShowPacketDetails();
  });
  // An open details window shows the row the user moves to.
  connect(pane_->view()->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            if (details_ == nullptr || !details_->isVisible() || !current.isValid()) return;
            state_.selectedPacketIndex.store(current.row());
            details_->Clear();
            ShowPacketReport();
          });
  QWidget* previous = nullptr;
  for (const ControlTemplate& c : kMainControls) {
    if (previous != nullptr) setTabOrder(previous, controls_[c.id]);
    previous = controls_[c.id];
  }
}

void MainDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (pane_ == nullptr) return;
  QSize more = size() - seedSize_;
  pane_->setGeometry(paneRect_.adjusted(0, 0, more.width(), more.height()));
  if (isVisible() && size() != seedSize_) resized_ = true;
}

QWidget* MainDialog::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void MainDialog::StartUp() {
  if (!CreatePaintingResources()) {
    services_.messages->Show(this, QStringLiteral("Error"), QStringLiteral("Gdi resources failed to initialize"));
  }
  OsInfo os = services_.systemVersion->QueryOsInfo();
  if (!os.queried) return;  // the window keeps its template state
  refused_ = os.refused;
  setWindowIcon(WindowIcon());
  static_cast<QPushButton*>(controls_[kIdTcp])->setChecked(true);
  static_cast<QPushButton*>(controls_[kIdUdp])->setChecked(true);
  list_->AddText(Latin1(os.line));
  for (const std::string& line : ShowHostNetworkInfo(state_, *services_.hostInfo)) list_->AddText(Latin1(line));
  for (const std::string& choice : BindChoices(state_)) bind_->addItem(Latin1(choice));
  bind_->setCurrentIndex(0);
  for (QComboBox* field : {from_, to_}) {
    field->setEditText(QStringLiteral("*:*"));
    field->lineEdit()->setValidator(new TypingLimit(field->lineEdit(), kFilterTypedMax));
  }
  state_.sourceFilter = AnyEndpoint();
  state_.destinationFilter = AnyEndpoint();
  AddTooltips();
  bind_->setFocus();
  stop_->setEnabled(false);
  if (refused_) {
    go_->setEnabled(false);
    goRefused_ = true;
    list_->AddText(QStringLiteral("  OS Windows 2000 or later required!"));
    return;
  }
  LoadSettings();
  state_.stopFlag.store(1);
  if (options_.EnableFlipToTray == 1) {
    FlipToTray();
    startedInTray_ = trayIconShown_;
    // Only the show that runs the dialog is kept from showing it.
    QTimer::singleShot(0, this, [this] { startedInTray_ = false; });
  } else {
    // Not for a window minimised for want of an icon: a window manager would restore it.
    activateWindow();
  }
}

void MainDialog::Command(int id) {
  if (id == kCmdFlipToTray) return SwitchFlipToTray();
  if (id == kCmdShowTimes) {
    ApplyOptionCommand(options_, id);
    return PlaceTimeColumn();
  }
  if (id == kCmdTrayAnime) return SwitchTrayIconAnime();
  if (ApplyOptionCommand(options_, id)) return;
  switch (id) {
    case kIdCancel:
    case kCmdExit: ExitSequence(); break;
    case kCmdDetails: ShowPacketDetails(); break;
    case kCmdSaveSniffLog: SaveSniffLog(); break;
    case kCmdSavePacketsSource: SavePacketsSource(); break;
    case kCmdAbout: ShowAboutBox(); break;
    case kCmdOpenCaptureFile: AskAndOpenCaptureFile(); break;
    case kCmdFilterList: FilterList(); break;
    case kCmdShowAll: list_->ShowOnlyPackets(nullptr); break;
    case kIdGo: StartCapture(); break;
    case kIdStop: StopCapture(); break;
    case kIdOnTop: ApplyOnTop(); break;
    default: break;  // the protocol and "both traffic" switches keep their own state
  }
}

void MainDialog::SetCapturingControls(bool capturing) {
  go_->setEnabled(!capturing && !goRefused_);
  both_->setEnabled(!capturing);
  stop_->setEnabled(capturing);
  (capturing ? stop_ : go_)->setFocus();
}

void MainDialog::PrepareFromFields(bool keepMore) {
  if (readingFile_) {
    readingFile_ = false;
    progressTimer_.stop();
    setWindowTitle(QString::fromLatin1(kMainDialog.title));
  }
  list_->Clear();
  if (!list_->sourceNames().empty()) {
    list_->SetSourceNames({});
    PlaceTimeColumn();
  }
  std::string from = FilterField(from_), to = FilterField(to_);
  from_->addItem(Latin1(from));
  to_->addItem(Latin1(to));
  PrepareWithFields(state_, from, to, keepMore);
  remote_.reset();  // its threads are joined now: what comes next is not remote unless made so
  dropsShown_ = 0;
  rowGapMs_ = kRowGapMs;
  SetTrayTip(services_.trayIcon, QString::fromLatin1(kTrayTip));
}

void MainDialog::PrepareWithFields(CaptureState& into, const std::string& from, const std::string& to, bool keepMore) {
  std::string bind = FieldText(bind_, kBindTextSize - 1);
  PrepareCapture(into, FieldOptions(bind, from, to, keepMore));
}

std::string MainDialog::FilterField(const QComboBox* box) {
  std::string typed = FieldText(box, kFilterTextIpv6Max);
  return std::string(FilterTextRead(typed));
}

CaptureOptions MainDialog::FieldOptions(std::string_view bind, std::string_view from, std::string_view to,
                                        bool keepMore) const {
  auto checked = [this](int id) { return static_cast<QPushButton*>(controls_.at(id))->isChecked(); };
  return {bind, from, to, checked(kIdBothTraffic), checked(kIdTcp), checked(kIdUdp), checked(kIdIcmp),
          checked(kIdIgmp), checked(kIdRaw), options_.CaptureIpv6 == 1, true, -1, keepMore};
}

void MainDialog::FilterList() {
  if (stop_->isEnabled()) return;
  if (filterState_ == nullptr) filterState_ = std::make_unique<CaptureState>();
  std::string from = FilterField(from_), to = FilterField(to_);
  PrepareWithFields(*filterState_, from, to, false);
  std::vector<int32_t> shown;
  uint32_t count = PublishedPacketCount(state_.store);
  for (uint32_t k = 0; k < count; ++k) {
    StoredPacket p;
    if (!LocatePacket(state_.store, static_cast<int32_t>(k), p)) continue;
    size_t length = static_cast<size_t>(p.length);
    DatagramFields fields;
    if (ScreenDatagram(*filterState_, p.bytes, length, fields)) shown.push_back(static_cast<int32_t>(k));
  }
  list_->ShowOnlyPackets(&shown);
}

void MainDialog::StartCapture() {
  if (!MayDiscard()) return;
  if (NamesRemoteSource(bind_->currentText().toStdString())) return StartRemoteCapture();
  PrepareFromFields(options_.KeepMore == 1);
  savedPackets_ = 0;

  int32_t member = 0;
  int checkedOk = services_.privilege->CheckAdminMembership(&member);
  if (checkedOk == 0 || member == 0) {
    go_->setEnabled(false);  // for the rest of the run, also after a file is read
    goRefused_ = true;
    // Nothing captures: a lowered flag would let the icon animate as if something did.
    state_.stopFlag.store(1);
    list_->AddText(checkedOk == 0 ? QStringLiteral(" internal error: administrators rights required!")
                                  : QStringLiteral(" administrators rights required!"));
    return;
  }
  StartTrayAnimation();
  ++captureGeneration_;
  // The helper opens its socket while the window goes on: a failure arrives as the end.
  state_.run.collectCounts = false;
  CaptureStart started = StartCaptureThread(state_, this, nullptr, state_.store.larger() ? kKeepMoreRing : kWindowRing, SocketWait::kNone);
  if (started.result != CaptureStartResult::kStarted) {
    // Capturing nothing while looking busy would hide the failure: say why and stay idle.
    FormatSystemErrorText(static_cast<uint32_t>(started.error));
    list_->AddText(QStringLiteral(" cannot capture on %1: %2").arg(QString::fromLatin1(state_.bindText),
                                                                   QString::fromLatin1(SystemErrorText()).trimmed()));
    state_.stopFlag.store(1);
    SetCapturingControls(false);
    return;
  }
  // Before any packet row: a mistyped address or an interface's name would otherwise
  // capture everything without a word.
  if (state_.run.bindTextUnknown) {
    list_->AddText(QStringLiteral(" no interface has the address \"%1\": capturing on every interface")
                       .arg(QString::fromLatin1(state_.bindText)));
  }
  SetCapturingControls(true);
}

void MainDialog::StopCapture() {
  StopCaptureThread(state_);
  remote_.reset();
  rowTimer_.stop();
  FetchRows();
  AddEndLine({});
  if (readingFile_) EndFileReading();
  SetCapturingControls(false);
}

void MainDialog::AskAndOpenCaptureFile() {
  if (services_.openPrompt == nullptr) return;
  std::optional<QString> path = services_.openPrompt->Ask(this, openFolder_);
  if (!path) return;
  QFileInfo chosen(*path);
  openFolder_ = chosen.absolutePath();
  // "-" typed as the name, where no file has it, is standard input.
  OpenCaptureFile(chosen.fileName() == u"-" && !chosen.exists() ? QStringLiteral("-") : *path);
}

void MainDialog::OpenCaptureFile(const QString& path) {
  if (path == u"-") {
    OpenCaptureStream(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0), QStringLiteral("standard input"));
    return;
  }
  // Not blocking: a named pipe with no writer yet would hold the window in open().
  OpenCaptureStream(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK), path);
}

void MainDialog::OpenCaptureStream(int fd, const QString& name) {
  int error = fd < 0 ? errno : 0;
  if (!MayDiscard()) {
    if (fd >= 0) ::close(fd);
    return;
  }
  // A file is read into the larger store: opening one asks to see it whole.
  PrepareFromFields(true);
  ++captureGeneration_;
  if (error == 0) error = StartFileReader(state_, this, fd, reading_);
  if (error != 0) {
    FormatSystemErrorText(static_cast<uint32_t>(error));
    list_->AddText(QStringLiteral(" cannot open %1: %2").arg(name, QString::fromLatin1(SystemErrorText()).trimmed()));
    state_.stopFlag.store(1);
    SetCapturingControls(false);
    return;
  }
  readingName_ = name;
  readingFile_ = true;
  // What a file holds is saved already; what a stream sends is not.
  savedPackets_ = reading_.size > 0 ? UINT32_MAX : 0;
  SetCapturingControls(true);
  ShowReadingProgress();
  progressTimer_.start();
}

void MainDialog::ShowReadingProgress() {
  // A stream has no size to take a share of: how many records it sent says how far.
  uint64_t read = reading_.bytesRead.load(std::memory_order_relaxed);
  uint64_t records = reading_.records.load(std::memory_order_relaxed);
  QString done = reading_.size > 0 ? QStringLiteral("%1%").arg(read * 100 / reading_.size)
                                   : QStringLiteral("%1 record%2").arg(records).arg(records == 1 ? "" : "s");
  setWindowTitle(QStringLiteral("%1 - reading %2: %3")
                     .arg(QString::fromLatin1(kMainDialog.title), QFileInfo(readingName_).fileName(), done));
}

void MainDialog::EndFileReading() {
  readingFile_ = false;
  progressTimer_.stop();
  setWindowTitle(QString::fromLatin1(kMainDialog.title));
  uint64_t count = reading_.records.load(std::memory_order_relaxed);
  QString records = QStringLiteral("%1 record%2").arg(count).arg(count == 1 ? "" : "s");
  uint32_t kept = PublishedPacketCount(state_.store);
  QString line;
  switch (reading_.end) {
    case FileEnd::kEndOfFile:
      line = QStringLiteral("%1: end of %2, %3 read, %4 listed")
                 .arg(readingName_, reading_.size > 0 ? QStringLiteral("file") : QStringLiteral("stream"), records)
                 .arg(kept);
      break;
    case FileEnd::kStoreFull: {
      uint64_t read = std::min(reading_.bytesRead.load(std::memory_order_relaxed), reading_.size);
      QString left = reading_.size > 0 ? QStringLiteral(" (%1 of its %2 bytes)").arg(reading_.size - read).arg(reading_.size)
                                       : QString();
      line = QStringLiteral("%1; %2: records from %3 on not read%4")
                 .arg(SayStoreFull(), readingName_)
                 .arg(count + 1)
                 .arg(left);
      break;
    }
    case FileEnd::kStopped:
    case FileEnd::kEndedBySource:  // a file's reading has no hooks that end it
      line = QStringLiteral("%1: stopped after %2, %3 listed").arg(readingName_, records).arg(kept);
      break;
    case FileEnd::kBadInput:
      line = readingName_ + QStringLiteral(": ") + QString::fromLocal8Bit(reading_.problem.c_str());
      if (count > 0) line += QStringLiteral("; %1 read before it, %2 listed").arg(records).arg(kept);
      break;
  }
  list_->AddText(QStringLiteral(" ") + line);
}

void MainDialog::FetchRows() {
  ShowKernelDrops();
  pane_->FetchRows();
}

void MainDialog::PlaceTimeColumn() { pane_->SetShowTimes(options_.ShowTimes == 1); }

void MainDialog::PacketsPublished(uint32_t) noexcept {
  // One posted update at a time: batches that come faster than the list takes them meet
  // in one update.
  if (fetchPosted_.exchange(true)) return;
  QMetaObject::invokeMethod(this, [this] { RowsArrived(); }, Qt::QueuedConnection);
}

void MainDialog::KernelDropped() noexcept { PacketsPublished(0); }

void MainDialog::ShowKernelDrops() {
  uint64_t dropped = state_.run.kernelDropped.load(std::memory_order_relaxed);
  if (dropped == dropsShown_) return;
  dropsShown_ = dropped;
  QString said = DroppedByKernel();
  list_->SetTrailer(QStringLiteral(" ") + said);
  SetTrayTip(services_.trayIcon, QString::fromLatin1(kTrayTip) + QStringLiteral(": ") + said);
}

QString MainDialog::DroppedByKernel() const {
  uint64_t dropped = state_.run.kernelDropped.load(std::memory_order_relaxed);
  return dropped == 0 ? QString() : QStringLiteral("%1 datagrams dropped by kernel").arg(dropped);
}

void MainDialog::AddEndLine(QString line) {
  list_->SetTrailer({});
  QString drops = DroppedByKernel();
  if (!drops.isEmpty()) line += (line.isEmpty() ? QStringLiteral(" ") : QStringLiteral("; ")) + drops;
  if (!line.isEmpty()) list_->AddText(line);
}

void MainDialog::RowsArrived() {
  fetchPosted_.store(false);
  if (rowTimer_.isActive()) {
    rowsWaiting_ = true;
    return;
  }
  FetchRows();
  StartRowTimer();
}

void MainDialog::StartRowTimer() {
  int layoutMs = pane_->lastLayoutMs();
  rowTimer_.start(std::max(rowGapMs_, kLayoutShare * layoutMs));
}

void MainDialog::CaptureEnded() noexcept {
  int generation = captureGeneration_.load();
  QMetaObject::invokeMethod(this, [this, generation] { CaptureEndedByItself(generation); }, Qt::QueuedConnection);
}

void MainDialog::CaptureEndedByItself(int generation) {
  if (generation != captureGeneration_.load()) return;  // a later "go!" has begun since
  if (!stop_->isEnabled()) return;  // "stop" came first: it has said all there is
  StopCaptureThread(state_);  // joins the thread, which has already left its loop
  rowTimer_.stop();
  FetchRows();
  if (remote_ != nullptr) {
    // Each source has said why it ended; only a full store is left to say.
    if (remote_->storeFull.load()) list_->AddText(QStringLiteral(" ") + SayStoreFull());
    remote_.reset();
    SetCapturingControls(false);
    return;
  }
  if (readingFile_) {
    EndFileReading();
    SetCapturingControls(false);
    return;
  }
  // A full store ends a capture as the user expects; a failed socket (its interface
  // gone) would otherwise look the same. The line goes after every packet row.
  if (state_.run.endError != 0) {
    FormatSystemErrorText(static_cast<uint32_t>(state_.run.endError));
    QString line = state_.run.startFailed ? QStringLiteral(" cannot capture on %1: %2")
                                          : QStringLiteral(" capture ended on %1: %2");
    AddEndLine(line.arg(QString::fromLatin1(state_.bindText), QString::fromLatin1(SystemErrorText()).trimmed()));
  } else {
    // The store is full: say so, or a capture that stopped by itself looks like a fault.
    QString what = SayStoreFull();
    AddEndLine(QStringLiteral(" ") + what +
               (state_.store.larger() ? QString() : QStringLiteral("; \"keep more\" keeps more")));
  }
  SetCapturingControls(false);
}

QString MainDialog::SayStoreFull() {
  bool memoryShort = state_.store.memoryShort.load(std::memory_order_relaxed);
  QString what = QStringLiteral("%1: %2 datagrams and %3 bytes kept")
                     .arg(memoryShort ? QStringLiteral("memory ran short") : QStringLiteral("store full"))
                     .arg(PublishedPacketCount(state_.store))
                     .arg(state_.store.storedBytes.load(std::memory_order_relaxed));
  QString drops = DroppedByKernel();
  SetTrayTip(services_.trayIcon, QString::fromLatin1(kTrayTip) + QStringLiteral(": ") + what +
                                     (drops.isEmpty() ? QString() : QStringLiteral("; ") + drops));
  return what;
}

void MainDialog::ExitSequence() {
  if (!MayDiscard()) return;
  if (stop_->isEnabled()) StopCaptureThread(state_);
  rowTimer_.stop();
  SaveSettings();
  FreePaintingResources();
  RemoveTrayIcon();
  exited_ = true;
  done(0);
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
  // Enter presses a focused "go!" or "stop", as a dialog's focused push button does. They
  // are not auto-default buttons: the dialog would make one of them its default, and Enter
  // in a field would then start a capture.
  bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  QWidget* focus = focusWidget();
  if (enter && (focus == go_ || focus == stop_)) {
    static_cast<QPushButton*>(focus)->click();
    return;
  }
  QDialog::keyPressEvent(event);
}

void MainDialog::reject() { Command(kIdCancel); }

// A capture file dropped on the window is opened, as "open capture file..." would.
void MainDialog::dragEnterEvent(QDragEnterEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (!urls.isEmpty() && urls.first().isLocalFile()) event->acceptProposedAction();
}

void MainDialog::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.isEmpty() || !urls.first().isLocalFile()) return;
  event->acceptProposedAction();
  OpenCaptureFile(urls.first().toLocalFile());  // opening waits for nothing: the reading has a thread
}

void MainDialog::ApplyOnTop() {
  // A Wayland client cannot stay on top, and changing the flag would only close the window
  // and open it anew wherever the compositor puts it. The setting is still kept.
  if (QGuiApplication::platformName() == QLatin1String("wayland")) return;
  bool onTop = static_cast<QPushButton*>(controls_[kIdOnTop])->isChecked();
  if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == onTop) return;
  bool visible = isVisible();
  setWindowFlag(Qt::WindowStaysOnTopHint, onTop);  // changing a flag hides the window
  if (visible) show();
}

void MainDialog::ShowToRead() {
  if (isHidden() || isMinimized()) ShowFromTray();
  BringToFront();
}

void MainDialog::BringToFront() {
  if (isHidden() || isMinimized()) return;
  raise();
  activateWindow();
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event) {
  OpenContextMenu(event->reason() == QContextMenuEvent::Keyboard ? QPoint(-1, -1) : event->globalPos());
}

void MainDialog::OpenContextMenu(QPoint at) {
  QWidget* under = QApplication::widgetAt(at);
  QListView* view = pane_->view();
  if (under != nullptr && (under == view || view->isAncestorOf(under))) {
    QModelIndex current = view->selectionModel()->currentIndex();
    bool selected = current.isValid() && view->selectionModel()->isSelected(current);
    state_.selectedPacketIndex.store(selected ? current.row() : -1);
  }
  if (at == QPoint(-1, -1)) at = frameGeometry().topLeft() + QPoint(5, 5);
  ShowPopupMenuAt(at);
}

int MainDialog::RunMenu(QMenu& menu, QPoint at) {
  QAction* chosen = menu.exec(at);
  return chosen != nullptr && chosen->data().isValid() ? chosen->data().toInt() : 0;
}

void MainDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kMainWindowColour);
}

}  // namespace trovix
