// The main window's side of the settings file and of the two save commands.
#include <QComboBox>
#include <QFile>
#include <QPushButton>

#include "capture/learned_names.h"
#include "capture/packet_store.h"
#include "capture/privilege.h"
#include "resources/dialogs.h"
#include "capture/program_table.h"
#include "capture/sources/pcap_writer.h"
#include "capture/sources/pcapng_writer.h"
#include "settings/config_folder.h"
#include "settings/file_replacement.h"
#include "settings/settings_file.h"
#include "ui/main_dialog.h"

#include <algorithm>

namespace trovix {
namespace {

using namespace resources;

std::optional<std::string> ConfigFolder(const Services& services) {
  return services.configFolder != nullptr ? services.configFolder->Query() : std::nullopt;
}

std::string Latin1Text(const QComboBox* box) { return box->currentText().toLatin1().toStdString(); }

}  // namespace

void MainDialog::LoadSettings() {
  settingsLoaded_ = true;
  LoadedSettings loaded = LoadSettingsFile(options_, ConfigFolder(services_));
  if (loaded.outcome == SettingsRead::kFirstRun) ShowAboutBox();
  if (!loaded.controls) return;
  const ControlSettings& c = *loaded.controls;
  bind_->setEditText(QString::fromLatin1(c.BindToInterface));
  from_->setEditText(QString::fromLatin1(c.FromIPAddress));
  to_->setEditText(QString::fromLatin1(c.ToIPAddress));
  auto check = [this](int id, bool on) { static_cast<QPushButton*>(controls_[id])->setChecked(on); };
  check(kIdBothTraffic, c.TwoWayTraffic);
  check(kIdOnTop, c.OnTop);
  if (c.OnTop) ApplyOnTop();  // off leaves the window where it is
  check(kIdTcp, c.OnTcp);
  check(kIdUdp, c.OnUdp);
  check(kIdIcmp, c.OnIcmp);
  check(kIdIgmp, c.OnIgmp);
  check(kIdRaw, c.OnRaw);
  // Only well-formed sources return to the drop-down: the file may have been edited.
  for (const std::string& word : SourceWords(c.RemoteSources)) {
    std::string why;
    if (remoteSourcesUsed_.size() < kRememberedSources && ParseRemoteSource(word, why)) {
      remoteSourcesUsed_.push_back(word);
      bind_->addItem(QString::fromLatin1(word.c_str()));
    }
  }
  listExpression_ = c.ListExpression;
  captureExpression_ = c.CaptureExpression;
  PlaceTimeColumn();
  pane_->SetShowInfo(options_.ShowInfo == 1);
  PlaceNames();
  if (options_.WindowWidth > 0) {
    resize(std::max(options_.WindowWidth, seedSize_.width()), std::max(options_.WindowHeight, seedSize_.height()));
    move(options_.WindowX, options_.WindowY);
    setAttribute(Qt::WA_Moved);  // where it was, not centred
  }
}

void MainDialog::SaveSettings() {
  if (!settingsLoaded_) return;
  if (resized_ || options_.WindowWidth > 0) {
    options_.WindowX = pos().x();
    options_.WindowY = pos().y();
    options_.WindowWidth = width();
    options_.WindowHeight = height();
  }
  auto checked = [this](int id) { return static_cast<QPushButton*>(controls_[id])->isChecked(); };
  ControlSettings c{Latin1Text(bind_), Latin1Text(from_), Latin1Text(to_), checked(kIdBothTraffic), checked(kIdOnTop),
                    checked(kIdTcp), checked(kIdUdp), checked(kIdIcmp), checked(kIdIgmp), checked(kIdRaw)};
  for (const std::string& source : remoteSourcesUsed_) c.RemoteSources += (c.RemoteSources.empty() ? "" : " ") + source;
  c.ListExpression = listExpression_;
  c.CaptureExpression = captureExpression_;
  SavedSettings saved = SaveSettingsFile(options_, c, ConfigFolder(services_));
  if (saved.outcome == SettingsWrite::kFolderFailed) {
    FormatSystemErrorText(static_cast<uint32_t>(saved.error));
    Tell(QStringLiteral("error:"), QString::fromLocal8Bit(SystemErrorText()));
  } else if (saved.outcome == SettingsWrite::kCannotCreate) {
    Tell(QStringLiteral("error:"), QStringLiteral("don't create ini file!"));
  }
}

const std::vector<int32_t>* MainDialog::ShownPackets() const {
  return list_->filtered() ? &list_->shownPackets() : nullptr;
}

void MainDialog::SaveSniffLog() {
  SavedBytes log = SniffLogBytes(state_);  // the length is taken before the prompt
  // The packet lines as the list shows them, when it shows some alone or with times.
  std::string shown;
  if (ShownPackets() != nullptr || list_->showTimes() || list_->showNames()) {
    for (int row = 0; row < list_->rowCount(); ++row) {
      if (list_->PacketAtRow(row) >= 0) shown += list_->RowText(row).toLatin1().toStdString() + "\r\n";
    }
    log = {shown.data(), shown.size()};
  }
  SaveToChosenFile(log.size > 0, false, false, [log](const SaveTarget&) { return log; });
}

bool MainDialog::SavePacketsSource(bool asCapture) {
  std::vector<uint8_t> capture;
  // Before anything is dropped, everything is saved.
  const std::vector<int32_t>* only = asCapture ? nullptr : ShownPackets();
  return SaveToChosenFile(PublishedPacketCount(state_.store) > 0, true, asCapture,
                   [this, &capture, asCapture, only](const SaveTarget& target) -> std::optional<SavedBytes> {
                     std::string path = QFile::encodeName(target.path).toStdString();
                     if (target.pcapng || IsPcapngName(path)) {
                       // What the capture taught of names goes with it, as its name records.
                       std::vector<AddressName> names;
                       TheLearnedNames().ForEachLearnedName([&names](const NameAddress& a, const LearnedName& n) {
                         AddressName record;
                         record.family = a.length == 16 ? 6 : 4;
                         std::copy(a.bytes, a.bytes + a.length, record.address);
                         record.name = n.name;
                         names.push_back(std::move(record));
                       });
                       if (!PcapngCaptureBytes(state_, capture, only, &TheProgramTable(), names)) return std::nullopt;
                       return SavedBytes{capture.data(), capture.size()};
                     }
                     if (!asCapture && !target.packetCapture && !IsPacketCaptureName(path)) {
                       if (only == nullptr) return PacketsSourceBytes(state_);
                       for (int32_t k : *only) {
                         StoredPacket p;
                         if (LocatePacket(state_.store, k, p)) capture.insert(capture.end(), p.bytes, p.bytes + p.length);
                       }
                       return SavedBytes{capture.data(), capture.size()};
                     }
                     if (!PacketCaptureBytes(state_, capture, only)) return std::nullopt;
                     return SavedBytes{capture.data(), capture.size()};
                   });
}

bool MainDialog::SaveToChosenFile(bool anythingStored, bool offerPacketCapture, bool captureChosen,
                                  const std::function<std::optional<SavedBytes>(const SaveTarget&)>& bytes) {
  if (!anythingStored) {
    Tell(QStringLiteral("information:"), QStringLiteral("don't found data for saving!"));
    return false;
  }
  if (services_.savePrompt == nullptr) return false;
  uint32_t stored = PublishedPacketCount(state_.store);  // what the bytes will hold at most
  // A filtered list saves what it shows, and the prompt says so; the question before
  // dropping packets saves every one.
  const std::vector<int32_t>* shown = captureChosen ? nullptr : ShownPackets();
  QString what = shown != nullptr ? QStringLiteral("the %1 shown packets").arg(shown->size()) : QString();
  std::optional<SaveTarget> target = services_.savePrompt->Ask(this, QString::fromLocal8Bit(options_.SettingsFolder),
                                                                offerPacketCapture, captureChosen, what);
  if (!target) return false;
  std::optional<SavedBytes> b = bytes(*target);
  if (!b) {
    Tell(QStringLiteral("error:"), QStringLiteral("don't write file!"));
    return false;
  }
  switch (ReplaceFile(QFile::encodeName(target->path).toStdString(), b->data, b->size)) {
    case ReplaceResult::kCannotCreate: Tell(QStringLiteral("error:"), QStringLiteral("don't create file!")); return false;
    case ReplaceResult::kCannotWrite: Tell(QStringLiteral("error:"), QStringLiteral("don't write file!")); return false;
    case ReplaceResult::kReplaced: break;
  }
  if (shown == nullptr) savedPackets_ = std::max(savedPackets_, stored);  // a part saved is not all saved
  return true;
}

bool MainDialog::MayDiscard() {
  uint32_t stored = PublishedPacketCount(state_.store);
  if (stored <= savedPackets_ || options_.AskBeforeDiscarding != 1 || services_.discardQuestion == nullptr) return true;
  switch (services_.discardQuestion->Ask(this, stored - savedPackets_)) {
    case DiscardAnswer::kSave: return SavePacketsSource(true);
    case DiscardAnswer::kDiscard: return true;
    case DiscardAnswer::kCancel: break;
  }
  return false;
}

void MainDialog::Tell(const QString& title, const QString& text) {
  services_.messages->Show(this, title, text);
  show();
}

}  // namespace trovix
