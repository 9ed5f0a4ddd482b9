// Capturing on other machines through the user's own ssh, so that their config, agent,
// known hosts and jump hosts apply and nothing of ours is on the network: the threads that
// read what each ssh sends (the texts and the command are remote_command's).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "capture/sources/remote_command.h"
#include "capture/sources/stream_source.h"

namespace trovix {

// What a remote capture says beyond its packets; calls come on its reading threads.
class RemoteListener {
 public:
  virtual ~RemoteListener() = default;
  // A line from source `source` (its index in the capture's sources): what ssh or the
  // remote command said on standard error (which ends the source), a broken stream, or
  // that the source ended by itself. Never for a source that "stop" ended.
  virtual void SourceSaid(int source, const std::string& line) noexcept = 0;
};

// One capture on other machines, as a Source: its sources, the options its remote
// commands are made from, and what is known once it has ended.
class RemoteCapture : public Source {
 public:
  std::vector<RemoteSource> sources;
  // Sources that ended by a fault (said something, a broken stream, a failed ssh).
  std::atomic<int> failedSources{0};
  // A source found the store (or the sink) full, which ends every source.
  std::atomic<bool> storeFull{false};
  // Per source, the reading (for its record count); owned here for the threads' lifetime.
  std::unique_ptr<FileReading[]> readings;

  // What the sources say, on their reading threads; none when not given.
  void UseListener(RemoteListener* remote) noexcept { remote_ = remote; }
  // The switches and filters the remote commands carry (the texts are copied).
  void UseOptions(const CaptureOptions& options);

  // After PrepareCapture: runs ssh for every source and reads their streams, as records
  // arrive, into the store (source k's packets marked k) or into `sink`, taking turns.
  // Once every source has ended by itself, or one filled the store, the capture ends
  // (CaptureEnded). Stop ends it, and every ssh and what it ran end within a second. An
  // ssh that could not be started fails the start: nothing runs then.
  CaptureStart Start(CaptureState& state, CaptureListener* listener, DatagramSink* sink) override;
  void Stop() override;
  // After a stop nothing; after an end of its own, a full store (each source has said
  // why it ended).
  EndLine End(bool stopped) const override;
  // " cannot run ssh: WHY".
  std::string StartFailedLine(const CaptureState& state, const CaptureStart& start) const override;
  uint64_t records() const noexcept override;

 private:
  RemoteListener* remote_ = nullptr;
  CaptureOptions options_;
  std::string fromText_, toText_, expressionText_;
  CaptureState* state_ = nullptr;
};

}  // namespace trovix
