/*
 * twinel-sim commands "accessory" and "dfu"; see README.md.
 */
#include "cover_commands.h"

#include <errno.h>
#include <stdlib.h>
#include <twdevice/device.h>
#include <twsim/accessory_service.h>
#include <twsim/dfu_images.h>

#include <sstream>

#include "command_args.h"

const char* kCoverCommandsHelp =
        "accessory [ret=N] [state=N] [delay=MS] | accessory connected|disconnected\n"
        "dfu add NAME | dfu dir NAME | dfu clear | dfu remove | dfu list";

namespace {

// Lives until the process ends, never destroyed: the HIDL runtime's threads
// may still be serving a query on it while static destructors run at exit.
twsim::AccessoryService* gAccessory = nullptr;

void accessoryCommand(twsim::Simulator& sim, std::istringstream& words,
                      std::vector<std::string>* out) {
    if (gAccessory == nullptr) gAccessory = new twsim::AccessoryService();
    unsigned long ret = 0, state = twsim::kCoverDisplayDisconnected, delay = 0;
    bool setDelay = false;
    std::string w;
    while (words >> w) {
        size_t eq = w.find('=');
        std::string key = w.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : w.substr(eq + 1);
        if (w == "connected") {
            state = twsim::kCoverDisplayConnected;
        } else if (w == "disconnected") {
            state = twsim::kCoverDisplayDisconnected;
        } else if (key == "ret" && parseNumber(value, UINT32_MAX, &ret)) {
        } else if (key == "state" && parseNumber(value, UINT32_MAX, &state)) {
        } else if (key == "delay" && parseNumber(value, 600000, &delay)) {
            setDelay = true;
        } else {
            out->push_back("error bad option " + w);
            return;
        }
    }
    gAccessory->setCoverDisplayConnection(static_cast<uint32_t>(ret), static_cast<uint32_t>(state));
    if (setDelay) gAccessory->setDelayMs(static_cast<int>(delay));
    // The HIDL runtime finds the service manager under the device root.
    if (getenv(twdevice::kRootEnv) == nullptr) setenv(twdevice::kRootEnv, sim.root().c_str(), 1);
    if (!gAccessory->registerService("default")) {
        out->push_back("error cannot register (is hwservicemanager running?)");
        return;
    }
    out->push_back("ok queries=" + std::to_string(gAccessory->connectionQueries()));
}

void dfuCommand(twsim::Simulator& sim, std::istringstream& words, std::vector<std::string>* out) {
    std::string op, name;
    words >> op;
    words >> name;
    if (op == "add" && !name.empty()) {
        out->push_back(twsim::addDfuImage(sim, name) ? "ok" : "error cannot write " + name);
    } else if (op == "dir" && !name.empty()) {
        out->push_back(twsim::addDfuDirectory(sim, name) ? "ok" : "error cannot make " + name);
    } else if (op == "clear" && name.empty()) {
        out->push_back(twsim::clearDfuImages(sim) ? "ok" : "error cannot clear");
    } else if (op == "remove" && name.empty()) {
        out->push_back(twsim::removeDfuDirectory(sim) ? "ok" : "error cannot remove");
    } else if (op == "list" && name.empty()) {
        for (const std::string& entry : twsim::dfuDirectoryOrder(sim)) {
            out->push_back("dfu " + entry);
        }
        out->push_back("ok");
    } else {
        out->push_back(
                "error usage: dfu add NAME | dfu dir NAME | dfu clear | dfu remove | dfu list");
    }
}

}  // namespace

bool executeCoverCommand(twsim::Simulator& sim, const std::string& cmd, const std::string& rest,
                         std::vector<std::string>* out) {
    std::istringstream words(rest);
    if (cmd == "accessory") {
        accessoryCommand(sim, words, out);
        return true;
    }
    if (cmd == "dfu") {
        dfuCommand(sim, words, out);
        return true;
    }
    return false;
}
