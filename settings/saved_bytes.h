// What the two save commands write: the sniff log text and the stored datagrams.
#pragma once

#include <cstddef>

#include "capture/capture_state.h"

namespace trovix {

struct SavedBytes {
  const void* data;
  size_t size;
};

// The packet lines published so far, each with its CR LF; a capture may be adding more.
SavedBytes SniffLogBytes(const CaptureState& state);

// The published datagrams back to back: a capture that runs meanwhile adds only behind
// them, so the bytes end on a whole datagram.
SavedBytes PacketsSourceBytes(const CaptureState& state);

}  // namespace trovix
