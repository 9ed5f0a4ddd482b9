// The window's capture life cycles through its session: "go!" on this machine's
// interfaces, a capture file or stream, "stop", an end of the capture's own, and what the
// list and the icon's tip say of each. (ssh sources: main_dialog_remote.cpp.)
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "capture/learned_names.h"
#include "capture/packet_line.h"
#include "capture/packet_store.h"
#include "capture/pcap_expression.h"
#include "capture/program_table.h"
#include "capture/privilege.h"
#include "resources/dialogs.h"
#include "ui/main_dialog.h"
#include "ui/tray_icon.h"

namespace trovix {
namespace {

using namespace resources;

// New packets reach the list when the capture thread says so, at most once per gap. The
// helper hands its ring over every 80 ms, so a row is listed within about 80 ms of
// arriving, with about a dozen list updates a second; a flood that fills blocks faster
// still costs at most one update per gap.
constexpr int kRowGapMs = 30;
// The capture helper's ring for the window: the kernel clears it at every "go!".
constexpr RingShape kWindowRing{1u << 20, 4, 80};
// With "keep more", the most the helper takes: a download's burst over loopback fills
// the smaller ring before the helper has handed a block over.
constexpr RingShape kKeepMoreRing{1u << 20, 16, 80};
// A field's text as the capture reads it: at most `max` single-byte characters.
std::string FieldText(const QComboBox* box, int max) {
  return box->currentText().left(max).toLatin1().toStdString();
}

}  // namespace

void MainDialog::PrepareFromFields(bool keepMore) {
  // What runs ends first, without a word: whatever starts next replaces it.
  (void)session_.Stop();
  if (reading_ != nullptr) {
    reading_ = nullptr;
    progressTimer_.stop();
    setWindowTitle(QString::fromLatin1(kMainDialog.title));
  }
  list_->Clear();
  if (!list_->sourceNames().empty()) {
    list_->SetSourceNames({});
    PlaceTimeColumn();
  }
  std::string from = FilterField(from_), to = FilterField(to_);
  from_->addItem(Latin1Text(from));
  to_->addItem(Latin1Text(to));
  std::string bind = FieldText(bind_, kBindTextSize - 1);
  PrepareCapture(state_, FieldOptions(bind, from, to, keepMore));
  if (statistics_ != nullptr) statistics_->Restart();
  remote_ = nullptr;  // what comes next is not remote unless made so
  dropsShown_ = 0;
  rowGapMs_ = kRowGapMs;
  SetTrayTip(services_.trayIcon, QString::fromLatin1(kTrayTip));
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

void MainDialog::FilterList(const std::vector<sock_filter>& program) {
  if (session_.Running()) return;
  std::string bind = FieldText(bind_, kBindTextSize - 1), from = FilterField(from_), to = FilterField(to_);
  CaptureSettings filter;
  ApplyCaptureOptions(filter, FieldOptions(bind, from, to, false));
  std::vector<int32_t> shown;
  std::vector<int32_t> kept;
  KeptPackets(state_.store, program, &filter, 0, PublishedPacketCount(state_.store), kept);
  // With the find bar open, only the rows that hold its text too (their info and names
  // included, when shown).
  QString text = pane_->findText();
  for (int32_t k : kept) {
    if (text.isEmpty() || list_->PacketHas(k, text)) shown.push_back(k);
  }
  list_->ShowOnlyPackets(&shown);
}

void MainDialog::ShowOnlyThisProgram() {
  QModelIndex current = pane_->view()->currentIndex();
  if (session_.Running() || !current.isValid()) return;
  const ProgramTable& table = TheProgramTable();
  // A named program only: "?" and a remote end are no program to filter by.
  auto named = [&](uint32_t id) { return table.ProgramOf(id) != nullptr; };
  Owner chosen = table.OwnerOf(PacketOwner(state_.store, list_->PacketAtRow(current.row())));
  uint32_t program = named(chosen.source) ? chosen.source : chosen.destination;
  if (!named(program)) return;
  std::vector<int32_t> shown;
  uint32_t count = PublishedPacketCount(state_.store);
  for (uint32_t k = 0; k < count; ++k) {
    Owner owner = table.OwnerOf(PacketOwner(state_.store, static_cast<int32_t>(k)));
    if (owner.source == program || owner.destination == program) shown.push_back(static_cast<int32_t>(k));
  }
  list_->ShowOnlyPackets(&shown);
}

void MainDialog::StartCapture() {
  std::vector<sock_filter> expression;
  std::string refusal;
  // A kept expression that libpcap refuses (a settings file edited by hand) starts nothing.
  if (!CaptureExpressionRuns(captureExpression_, expression, refusal)) return;
  if (!MayDiscard()) return;
  if (NamesRemoteSource(bind_->currentText().toStdString())) return StartRemoteCapture();
  PrepareFromFields(options_.KeepMore == 1);
  state_.expressionProgram = std::move(expression);  // after the helper's own program
  savedPackets_ = 0;
  SayCaptureExpression();

  int32_t member = 0;
  int checkedOk = services_.privilege->CheckAdminMembership(&member);
  if (checkedOk == 0 || member == 0) {
    go_->setEnabled(false);  // for the rest of the run, also after a file is read
    goRefused_ = true;
    list_->AddText(checkedOk == 0 ? QStringLiteral(" internal error: administrators rights required!")
                                  : QStringLiteral(" administrators rights required!"));
    return;
  }
  // The helper opens its socket while the window goes on: a failure arrives as the end.
  state_.run.collectCounts = false;
  CaptureStart started = session_.Start(
      std::make_unique<LocalSource>(state_.store.larger() ? kKeepMoreRing : kWindowRing, SocketWait::kNone), this,
      options_.ShowPrograms == 1);
  if (started.result != CaptureStartResult::kStarted) {
    // Capturing nothing while looking busy would hide the failure: say why and stay idle.
    list_->AddText(session_.StartFailedText(started));
    SetCapturingControls(false);
    return;
  }
  StartTrayAnimation();
  // Before any packet row: a mistyped address or an interface's name would otherwise
  // capture everything without a word.
  if (state_.run.bindTextUnknown) {
    list_->AddText(QStringLiteral(" no interface has the address \"%1\": capturing on every interface")
                       .arg(QString::fromLatin1(state_.bindText)));
  }
  SetCapturingControls(true);
}

void MainDialog::StopCapture() {
  EndLine end = session_.Stop();
  rowTimer_.stop();
  FetchRows();
  ShowEnd(end);
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
  Descriptor stream(fd);
  if (!MayDiscard()) return;
  // A file is read into the larger store: opening one asks to see it whole.
  PrepareFromFields(true);
  reading_ = nullptr;
  auto source = std::make_unique<StreamSource>(std::move(stream), name.toUtf8().toStdString(), error);
  const StreamSource* opened = source.get();
  CaptureStart start = session_.Start(std::move(source), this);
  if (start.result != CaptureStartResult::kStarted) {
    list_->AddText(session_.StartFailedText(start));
    SetCapturingControls(false);
    return;
  }
  reading_ = opened;
  readingName_ = name;
  // What a file holds is saved already; what a stream sends is not.
  savedPackets_ = reading_->reading().size > 0 ? UINT32_MAX : 0;
  SetCapturingControls(true);
  ShowReadingProgress();
  progressTimer_.start();
}

void MainDialog::ShowReadingProgress() {
  // A stream has no size to take a share of: how many records it sent says how far.
  if (reading_ == nullptr) return;
  const FileReading& reading = reading_->reading();
  uint64_t read = reading.bytesRead.load(std::memory_order_relaxed);
  uint64_t records = reading.records.load(std::memory_order_relaxed);
  QString done = reading.size > 0 ? QStringLiteral("%1%").arg(read * 100 / reading.size)
                                   : QStringLiteral("%1 record%2").arg(records).arg(records == 1 ? "" : "s");
  setWindowTitle(QStringLiteral("%1 - reading %2: %3")
                     .arg(QString::fromLatin1(kMainDialog.title), QFileInfo(readingName_).fileName(), done));
}

void MainDialog::ShowEnd(const EndLine& end) {
  if (reading_ != nullptr) {
    // A pcapng file's own name records, trusted below what its datagrams say.
    for (const AddressName& record : reading_->reading().names) {
      TheLearnedNames().LearnName(NameAddress::Of(record.address, record.family == 6 ? 16 : 4), record.name,
                                  NameOrigin::kCaptureFile);
    }
    if (!reading_->reading().names.empty()) packetListView()->viewport()->update();
    reading_ = nullptr;
    progressTimer_.stop();
    setWindowTitle(QString::fromLatin1(kMainDialog.title));
  }
  list_->SetTrailer({});
  if (end.storeFull) {
    // The icon's tip says what a full store kept, with the kernel's drops.
    QString drops = DroppedByKernel();
    SetTrayTip(services_.trayIcon, QString::fromLatin1(kTrayTip) + QStringLiteral(": ") +
                                       QString::fromStdString(StoreFullText(state_)) +
                                       (drops.isEmpty() ? QString() : QStringLiteral("; ") + drops));
  }
  if (!end.text.empty()) list_->AddText(CaptureSession::Text(end));
  SetCapturingControls(false);
}

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

QString MainDialog::DroppedByKernel() const { return QString::fromStdString(DroppedByKernelText(state_)); }

void MainDialog::CaptureEnded() noexcept {
  int generation = session_.generation();
  QMetaObject::invokeMethod(this, [this, generation] { CaptureEndedByItself(generation); }, Qt::QueuedConnection);
}

void MainDialog::CaptureEndedByItself(int generation) {
  if (generation != session_.generation()) return;  // a later "go!" has begun since
  if (!session_.Running()) return;  // "stop" came first: it has said all there is
  EndLine end = session_.Ended();
  rowTimer_.stop();
  FetchRows();  // the line goes after every packet row
  ShowEnd(end);
}

}  // namespace trovix
