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

// Qt's list lays out all its rows again at each update: the next update waits at least
// this many times as long as the last layout took, so a long list under a flood is
// updated less often rather than taking the window's time (and the CPU the capture needs).
constexpr int kLayoutShare = 4;
constexpr int kFilterTypedMax = 21;
// How often the title says how far a capture file has been read.
constexpr int kProgressMs = 250;
// How often rows are painted again while the sampler names their programs.
constexpr int kProgramPaintMs = 50;

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
  // Editable through its own line edit: setEditable would first build the drop-down's list
  // for a non-editable box, which the window's first look waits for; the box makes it when
  // it first drops down.
  auto* edit = new QLineEdit(box);
  edit->setPalette(box->palette());
  box->setLineEdit(edit);
  box->setInsertPolicy(QComboBox::NoInsert);
  box->setCompleter(nullptr);
}


}  // namespace

MainDialog::MainDialog(CaptureState& state, const Services& services, QWidget* parent)
    : QDialog(parent), state_(state), services_(services), session_(state) {
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
  // The sampler names a datagram's programs within tens of milliseconds of its listing.
  programTimer_.setInterval(kProgramPaintMs);
  connect(&programTimer_, &QTimer::timeout, this, [this] { pane_->ProgramsMatched(session_.programsMatched()); });
  progressTimer_.setInterval(kProgressMs);
  connect(&progressTimer_, &QTimer::timeout, this, &MainDialog::ShowReadingProgress);
  connect(new QShortcut(QKeySequence::Open, this), &QShortcut::activated, this, [this] { Command(kCmdOpenCaptureFile); });
  connect(new QShortcut(kFilterListKey, this), &QShortcut::activated, this, [this] { Command(kCmdFilterBar); });
  connect(new QShortcut(kShowAllKey, this), &QShortcut::activated, this, [this] { Command(kCmdShowAll); });
  connect(new QShortcut(kStatisticsKey, this), &QShortcut::activated, this, [this] { Command(kCmdStatistics); });
  setAcceptDrops(true);
  ConnectTrayIcon();
  StartUp();
}

MainDialog::~MainDialog() {
  // The capture thread reports to this window; it must be gone first.
  session_.Stop();
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
  list_->AddText(Latin1Text(os.line));
  for (const std::string& line : ShowHostNetworkInfo(state_, *services_.hostInfo)) list_->AddText(Latin1Text(line));
  for (const std::string& choice : BindChoices(state_)) bind_->addItem(Latin1Text(choice));
  bind_->setCurrentIndex(0);
  for (QComboBox* field : {from_, to_}) {
    field->setEditText(QStringLiteral("*:*"));
    field->lineEdit()->setValidator(new TypingLimit(field->lineEdit(), kFilterTypedMax));
  }
  state_.sourceFilter = AnyEndpoint();
  state_.destinationFilter = AnyEndpoint();
  // Measured in the tips' own font, which the first look does not need: after the window
  // is up.
  QTimer::singleShot(0, this, &MainDialog::AddTooltips);
  bind_->setFocus();
  stop_->setEnabled(false);
  if (refused_) {
    go_->setEnabled(false);
    goRefused_ = true;
    list_->AddText(QStringLiteral("  OS Windows 2000 or later required!"));
    return;
  }
  LoadSettings();
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
  if (id == kCmdShowPrograms) {
    ApplyOptionCommand(options_, id);
    return PlaceProgramColumn();
  }
  if (id == kCmdShowInfo) {
    ApplyOptionCommand(options_, id);
    return pane_->SetShowInfo(options_.ShowInfo == 1);
  }
  if (id == kCmdShowNames || id == kCmdLookUpNames) {
    ApplyOptionCommand(options_, id);
    return PlaceNames();
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
    case kCmdFilterBar: OpenFilterBar(); break;
    case kCmdCaptureExpression: AskCaptureExpression(); break;
    case kCmdShowAll: list_->ShowOnlyPackets(nullptr); break;
    case kCmdOnlyThisProgram: ShowOnlyThisProgram(); break;
    case kCmdStatistics: ShowStatistics(); break;
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
  PlaceProgramColumn();  // each start and end may bring a sampler or end one
  if (statistics_ != nullptr) statistics_->SetLive(capturing);
}

void MainDialog::FetchRows() {
  ShowKernelDrops();
  pane_->FetchRows();
  // A file's or a server's rows may bring owners of their own: the column widens to them.
  if (options_.ShowPrograms == 1 && !session_.programsSampled()) pane_->ProgramsMatched(0);
}

void MainDialog::PlaceNames() { pane_->SetShowNames(options_.ShowNames == 1, options_.LookUpNames == 1); }

void MainDialog::PlaceTimeColumn() { pane_->SetShowTimes(options_.ShowTimes == 1); }

void MainDialog::PlaceProgramColumn() {
  bool on = options_.ShowPrograms == 1;
  pane_->SetShowPrograms(on, session_.programsSampled());
  pane_->ProgramsMatched(session_.programsMatched());
  if (on && session_.Running() && session_.programsSampled()) {
    if (!programTimer_.isActive()) programTimer_.start();
  } else {
    programTimer_.stop();
  }
  if (statistics_ != nullptr) statistics_->ShowPrograms();
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

void MainDialog::ExitSequence() {
  if (!MayDiscard()) return;
  session_.Stop();
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
