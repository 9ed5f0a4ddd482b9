// A program started with standard input, output or error closed would hand those numbers
// to the next file or socket it opens, and then write to it whatever it meant for the
// terminal.
#pragma once

namespace trovix {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Call first thing in
// main, before anything else opens a descriptor. Returns 0 or an errno value.
int OpenClosedStandardStreams() noexcept;

}  // namespace trovix
