// What the fuzz targets share: a check that stops the run, and one state record for all
// inputs (it is too large to make per input).
#pragma once

#include <cstdlib>

#include "capture/capture_state.h"

namespace trovix::fuzz {

inline void Check(bool ok) {
  if (!ok) std::abort();
}

inline CaptureState& State() {
  static CaptureState* state = new CaptureState();
  return *state;
}

}  // namespace trovix::fuzz
