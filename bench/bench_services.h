// What a benchmark's real window runs with.
#pragma once

#include "ui/main_dialog.h"

namespace trovix::bench {

// The real system, but not the user's settings (a first run would wait in its about box)
// and no notification-area icon.
inline Services WindowServices() {
  Services services = SystemServices();
  services.configFolder = nullptr;
  services.trayIcon = nullptr;
  return services;
}

}  // namespace trovix::bench
