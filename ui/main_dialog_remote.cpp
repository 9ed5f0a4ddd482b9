// Capturing on other machines: the bind field's ssh:// sources, started through the
// user's own ssh; the window holds no capability and starts no helper for them.
#include <QComboBox>
#include <QPushButton>

#include "capture/privilege.h"
#include "ui/main_dialog.h"

namespace trovix {
namespace {

// An ssh stream sends as it gets, in pieces far apart less often than the local ring's:
// at most one list update per this gap keeps a flood as cheap to list (rows come about as
// late as the local ring's 80 ms).
constexpr int kRemoteRowGapMs = 80;
// A store's source mark is a byte; a list of more sources than this is no longer readable.
constexpr size_t kMaxSources = 16;

}  // namespace

void MainDialog::StartRemoteCapture() {
  std::string bindText = bind_->currentText().toLatin1().toStdString();
  PrepareFromFields(options_.KeepMore == 1);
  savedPackets_ = 0;
  SayCaptureExpression();
  auto refuse = [this](const QString& line) {
    list_->AddText(line);
    SetCapturingControls(false);
  };
  auto capture = std::make_unique<RemoteCapture>();
  // Every word is checked before anything runs: no text typed here reaches a shell or ssh
  // as anything but a name.
  for (const std::string& word : SourceWords(bindText)) {
    std::string why;
    std::optional<RemoteSource> source = ParseRemoteSource(word, why);
    if (!source) {
      return refuse(IsRemoteSourceText(word)
                        ? QStringLiteral(" %1: %2").arg(Latin1Text(word), Latin1Text(why))
                        : QStringLiteral(" %1: a local address is not captured beside ssh:// sources").arg(Latin1Text(word)));
    }
    capture->sources.push_back(*source);
  }
  if (capture->sources.size() > kMaxSources) {
    return refuse(QStringLiteral(" at most %1 sources are captured at once").arg(kMaxSources));
  }
  if (capture->sources.size() > 1) {
    std::vector<QString> names;
    for (const std::string& label : SourceLabels(capture->sources)) names.push_back(Latin1Text(label));
    list_->SetSourceNames(std::move(names));
    PlaceTimeColumn();
  }
  std::string from = FilterField(from_), to = FilterField(to_);
  capture->UseListener(this);
  CaptureOptions options = FieldOptions("", from, to, false);
  options.expressionText = captureExpression_;  // the remote side compiles it again
  capture->UseOptions(options);
  // Set before the start: the sources may speak at once.
  remote_ = capture.get();
  CaptureStart started = session_.Start(std::move(capture), this);
  if (started.result != CaptureStartResult::kStarted) {
    remote_ = nullptr;
    return refuse(session_.StartFailedText(started));
  }
  StartTrayAnimation();
  rowGapMs_ = kRemoteRowGapMs;
  RememberRemoteSources(remote_->sources);
  SetCapturingControls(true);
}

void MainDialog::RememberRemoteSources(const std::vector<RemoteSource>& sources) {
  for (auto it = sources.rbegin(); it != sources.rend(); ++it) {
    std::erase(remoteSourcesUsed_, it->text);
    remoteSourcesUsed_.insert(remoteSourcesUsed_.begin(), it->text);
    if (bind_->findText(Latin1Text(it->text)) < 0) bind_->addItem(Latin1Text(it->text));
  }
  if (remoteSourcesUsed_.size() > kRememberedSources) remoteSourcesUsed_.resize(kRememberedSources);
}

void MainDialog::SourceSaid(int source, const std::string& line) noexcept {
  QString text = QStringLiteral(" %1: %2").arg(Latin1Text(remote_->sources[static_cast<size_t>(source)].text),
                                               Latin1Text(line));
  QMetaObject::invokeMethod(
      this,
      [this, text] {
        FetchRows();  // the line goes after the rows that came before it
        list_->AddText(text);
      },
      Qt::QueuedConnection);
}

}  // namespace trovix
