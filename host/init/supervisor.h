/*
 * twinel-init's supervision of hwservicemanager and the services: what a
 * phone's init does for them once they run.
 */
#pragma once

#include <twinit/init.h>

#include <functional>
#include <string>
#include <vector>

namespace twinit {

struct Supervised {
    Service svc;
    std::string exe;  // the program to execute
};

// Runs services[0] (hwservicemanager) and, once its socket takes
// connections, the others, until SIGTERM, SIGINT or SIGHUP stop them all.
// As init does: a service that exits is started again no sooner than 5 s
// after its last start, unless it is oneshot; and when services[0] restarts,
// its `onrestart class_restart CLASS` lines restart every running service of
// CLASS. `prepare` runs in each child before the program is executed (it
// drops to the service's user); false makes the child exit with status 1.
int supervise(std::vector<Supervised> services, const std::string& managerSocket,
              const std::function<bool(const Service&)>& prepare);

}  // namespace twinit
