// The fixed text of the about box.
#pragma once

namespace trovix {

// Single-byte text (Latin-1; the bullets are middle dots), lines ended by CR LF.
const char* AboutText();

}  // namespace trovix
