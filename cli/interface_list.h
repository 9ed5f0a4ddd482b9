// trovix-cli -D: the interfaces a capture can be given with -i, as tcpdump -D lists them.
#pragma once

#include <cstdio>
#include <string>

namespace trovix::cli {

// Writes a line per interface, by index, to `out`: its index, name, addresses and state,
// like "1.lo (127.0.0.1, ::1) [Up, Running, Loopback]". False with `error` set when the
// system would not say or the lines could not be written.
bool ListInterfaces(FILE* out, std::string& error);

}  // namespace trovix::cli
