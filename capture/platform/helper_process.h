// Starting the capture helper, the one program that may open a capture socket, and
// collecting it once it has ended.
#pragma once

#include <sys/types.h>

#include <string>

namespace trovix {

// Where the helper is: the one UseCaptureHelper chose, else the one the environment names
// (TROVIX_CAPTURE_HELPER), else where the package installs it (../libexec/trovix from the
// program's folder), beside the program, in its folder's parent, and last in
// /usr/local/libexec/trovix and /usr/libexec/trovix. Empty when none is found.
std::string CaptureHelperPath();

// Tests and benchmarks run from folders of their own: they name the built helper here.
void UseCaptureHelper(const char* path);

// Starts the helper with `helperEnd` (any descriptor number) as its descriptor 3, standard
// error (/dev/null when that is closed, close-on-exec or `helperEnd`), and /dev/null as
// standard input and output, in a process group of its own (a terminal's Ctrl-C goes to
// the client, which then stops the capture and still collects the helper's counts).
// Returns 0 or an errno value; EACCES when this user may not run it.
int SpawnCaptureHelper(int helperEnd, pid_t& pid) noexcept;

// Hands a helper whose connection is closed (so it is ending) to ReapCaptureHelpers.
void ForgetCaptureHelper(pid_t pid) noexcept;

// Collects helpers that have ended since, without waiting; with `wait`, waits for every
// one (a program's last call, once nothing captures).
void ReapCaptureHelpers(bool wait) noexcept;

}  // namespace trovix
