// The main window: filters, protocol switches, "go!" and "stop", and the packet list.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <functional>
#include <map>
#include <memory>

#include "capture/capture_state.h"
#include "capture/sources/local_source.h"
#include "capture/sources/remote_source.h"
#include "capture/sources/stream_source.h"
#include "ui/capture_session.h"
#include "ui/details_window.h"
#include "settings/saved_bytes.h"
#include "settings/window_options.h"
#include "ui/packet_list_model.h"
#include "ui/packet_list_pane.h"
#include "ui/painting.h"
#include "ui/services.h"
#include "ui/statistics_window.h"

class QComboBox;
class QListView;
class QMenu;
class QPushButton;

namespace trovix {

class MainDialog : public QDialog, private CaptureListener, private RemoteListener {
  Q_OBJECT

 public:
  MainDialog(CaptureState& state, const Services& services, QWidget* parent = nullptr);
  ~MainDialog() override;

  // The command dispatch: menu items, buttons, and 2 (close box, Escape) alike.
  void Command(int id);
  // A context-menu request at `global` (screen coordinates); from the keyboard the point
  // is (-1, -1). Only a request over the packet list takes its selection.
  void OpenContextMenu(QPoint global);
  // Lists a capture file ("-": standard input, read as a stream) as a capture would: the
  // window's switches and filters apply, and it goes into the larger store.
  void OpenCaptureFile(const QString& path);
  // Reads the capture stream open on `fd` (taken), called `name` in the list.
  void OpenCaptureStream(int fd, const QString& name);
  // The capture that runs, or ran last, whatever its source.
  const CaptureSession& session() const { return session_; }
  // A second start asked for the window: to the front, unless hidden or minimised.
  void BringToFront();
  // A second start handed over a file or stream: shown, also from its icon, and in front.
  void ShowToRead();
  // Menu 103 at the mouse position, for the notification-area icon; a chosen item
  // arrives as its command.
  void ShowPopupMenu();
  // Menu 103 at `at` (screen coordinates); a chosen item runs as a command.
  void ShowPopupMenuAt(QPoint at);

  QWidget* Control(int id) const;
  PacketListModel& packetList() { return *list_; }
  QListView* packetListView() const { return pane_->view(); }
  WindowOptions& options() { return options_; }
  DetailsWindow* detailsWindow() const { return details_; }
  StatisticsWindow* statisticsWindow() const { return statistics_; }
  bool exited() const { return exited_; }
  // Shown or hidden as the window system would do it; a start in the notification area
  // keeps the window hidden through the show that runs the dialog.
  void setVisible(bool visible) override;
  int aboutBoxRuns() const { return aboutBoxRuns_; }

 protected:
  // Shows the menu at `at` and returns the chosen command id, or 0.
  virtual int RunMenu(QMenu& menu, QPoint at);

  void paintEvent(QPaintEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;
  void resizeEvent(QResizeEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void accept() override {}  // Enter without a focused button is a command nobody handles

 private:
  void CreateControls();
  void StartUp();
  // Empties the list and prepares a capture with the fields' filters and switches.
  void PrepareFromFields(bool keepMore);
  void StartCapture();
  // Shows only the stored packets that pass the fields as they are now and that `program`
  // keeps (a pcap expression's; empty keeps all); nothing while a capture or a reading runs.
  void FilterList(const std::vector<sock_filter>& program = {});
  // pcap filter expressions (main_dialog_expressions.cpp): "filter the &list" opens the
  // bar whose Enter filters the list; "capture &expression..." asks for the next capture's.
  void OpenFilterBar();
  void AskCaptureExpression();
  // Whether libpcap and the capture take `text` (empty: no expression), its program in
  // `program`; a refusal is said in a message box.
  bool CaptureExpressionRuns(const std::string& text, std::vector<sock_filter>& program, std::string& refusal);
  // The list's line that says a capture expression is in force, when one is.
  void SayCaptureExpression();
  // The stored packets whose sender or receiver is the current row's program (its sender,
  // else its receiver), as "filter the list" shows them.
  void ShowOnlyThisProgram();
  // The statistics window, made at its first opening; then the stored packets of a row.
  void ShowStatistics();
  void ShowOnlyStatisticsRow(const StatisticsRow& row);
  void AskAndOpenCaptureFile();
  void ShowReadingProgress();
  void StopCapture();
  // The list's last line for a capture that ended (stopped, or by itself): the source's
  // words, in place of the line that said the kernel's drops while it ran; the tip says
  // what a full store kept; the controls go back to idle.
  void ShowEnd(const EndLine& end);
  void SetCapturingControls(bool capturing);
  void ExitSequence();
  void ShowPacketDetails();
  void ShowPacketReport();
  // The kernel's drops said, and the rows published since the last call listed.
  void FetchRows();
  void CaptureEndedByItself(int generation);
  // The time column as "show &times" and the sources' names ask.
  void PlaceTimeColumn();
  // The programs' column as "show &programs" and the capture's sampler ask, and the timer
  // that paints the rows whose programs were named since.
  void PlaceProgramColumn();
  // The list's addresses as "show &names" and "look &up names" ask.
  void PlaceNames();
  // "N datagrams dropped by kernel" for the current capture; empty when it dropped none.
  QString DroppedByKernel() const;
  // While a capture runs: the drops so far in the list's last line and the icon's tip.
  void ShowKernelDrops();
  void ApplyOnTop();

  // The look: brushes and label colours, and the tips.
  bool CreatePaintingResources();
  void FreePaintingResources();
  void AddTooltips();

  // The notification-area icon (main_dialog_tray.cpp).
  void ConnectTrayIcon();
  void FlipToTray();
  void HideInTray();
  void ShowFromTray();
  void RemoveTrayIcon();
  void StartTrayAnimation();
  void SwitchFlipToTray();
  void SwitchTrayIconAnime();
  void TrayIconLeftPressed();
  void TrayIconRightReleased(QPoint global);
  // Counted, so tests can see the first run ask for it once.
  void ShowAboutBox();

  // Settings and saving.
  void LoadSettings();
  void SaveSettings();
  void SaveSniffLog();
  // `asCapture`: a capture file whatever the name, the prompt starting with its filter.
  // True once the file is written.
  bool SavePacketsSource(bool asCapture = false);
  // `bytes` is asked for once the prompt is answered; nothing means it could not be made.
  // True once the file is written: the packets stored then count as saved.
  bool SaveToChosenFile(bool anythingStored, bool offerPacketCapture, bool captureChosen,
                        const std::function<std::optional<SavedBytes>(const SaveTarget&)>& bytes);
  // While the list is filtered, the saves write the shown packets alone and say so.
  const std::vector<int32_t>* ShownPackets() const;
  // Whether the stored packets may be dropped: nothing unsaved, or the user said so (or
  // saved them) when asked.
  bool MayDiscard();
  // A message box, then the window shown, also when it was hidden.
  void Tell(const QString& title, const QString& text);

  // The bind field names sources on other machines: each is captured through ssh.
  void StartRemoteCapture();
  // The sources go first in the bind field's drop-down and in the settings' list.
  void RememberRemoteSources(const std::vector<RemoteSource>& sources);
  // A "from:" or "to:" field's text as a capture reads it.
  static std::string FilterField(const QComboBox* box);
  CaptureOptions FieldOptions(std::string_view bind, std::string_view from, std::string_view to, bool keepMore) const;
  // RemoteListener: called on a source's reading thread.
  void SourceSaid(int source, const std::string& line) noexcept override;

  // CaptureListener: called on the capture thread.
  void PacketsPublished(uint32_t) noexcept override;
  void CaptureEnded() noexcept override;
  void KernelDropped() noexcept override;
  // On the user-interface thread: new packets were published.
  void RowsArrived();
  void StartRowTimer();

  CaptureState& state_;
  WindowOptions options_;
  Services services_;
  PacketListPane* pane_ = nullptr;
  PacketListModel* list_ = nullptr;  // the pane's
  QComboBox* from_ = nullptr;
  QComboBox* to_ = nullptr;
  QComboBox* bind_ = nullptr;
  QPushButton* go_ = nullptr;
  QPushButton* stop_ = nullptr;
  QPushButton* both_ = nullptr;
  std::map<int, QWidget*> controls_;
  QSize seedSize_;
  QRect paneRect_;  // the list pane's place at the seed's size
  bool resized_ = false;  // by the user: its place and size are kept from then on
  QPointer<DetailsWindow> details_;
  QPointer<StatisticsWindow> statistics_;
  // Runs for rowGapMs_ (or longer, for a long list) after each list update; rows that
  // arrive meanwhile wait for it.
  QTimer rowTimer_;
  QTimer programTimer_;
  int rowGapMs_ = 0;  // set by each start
  bool rowsWaiting_ = false;
  std::atomic<bool> fetchPosted_{false};
  uint64_t dropsShown_ = 0;  // the kernel's drops the list and the tip say
  bool refused_ = false;
  // "go!" stays grey: the system or the user's rights refused capturing.
  bool goRefused_ = false;
  // Start-up that stopped before the settings were read must not write them: the options
  // would all be 0 and turn saving off in the user's file.
  bool settingsLoaded_ = false;
  bool exited_ = false;
  // Start-up hid the window behind its icon before it was ever shown.
  bool startedInTray_ = false;
  bool trayIconShown_ = false;
  int aboutBoxRuns_ = 0;
  PaintingResources paintingResources_;
  bool paintingResourcesOk_ = false;
  // The capture that runs, or ran last: a local capture, a file or stream, ssh sources.
  CaptureSession session_;
  // The file or stream the session reads (its progress in the title), while it does.
  const StreamSource* reading_ = nullptr;
  QString readingName_;
  QTimer progressTimer_;
  QString openFolder_;  // where the open prompt was last answered
  // The capture on other machines the session runs, or ran last, through ssh.
  RemoteCapture* remote_ = nullptr;
  // The remote sources used before, most recent first, as the settings keep them; the
  // drop-down keeps this many.
  static constexpr size_t kRememberedSources = 8;
  std::vector<std::string> remoteSourcesUsed_;
  // The expressions last used on the list and for the capture; kept in the settings once used.
  std::string listExpression_, captureExpression_;
  // The stored packets up to this count are in a file: saved, or read from one.
  uint32_t savedPackets_ = 0;
};

}  // namespace trovix
