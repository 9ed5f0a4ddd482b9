// What a benchmark's real window runs with.
#pragma once

#include "ui/main_dialog.h"

namespace trovix::bench {

// The real system, but not the user's settings (a first run would wait in its about box),
// no notification-area icon and no question before packets are dropped.
inline Services WindowServices() {
  Services services = SystemServices();
  services.configFolder = nullptr;
  services.trayIcon = nullptr;
  services.discardQuestion = nullptr;  // a benchmark's "go!" drops what it stored, unasked
  return services;
}

}  // namespace trovix::bench
