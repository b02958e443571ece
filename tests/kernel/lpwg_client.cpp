/*
 * A framework stand-in that registers an LPWG callback with the service
 * from a process of its own and prints what the callback receives.
 *
 *   lpwg_client [--instance NAME]
 *
 * Commands on stdin, each answered by "ok" or "error ...":
 *   register 1.0|1.1   hand a new callback of that version to the service
 *   unregister         hand null to the service
 *   ping               a synchronous call (getTW2Connect): "ok" once answered
 * Every callback call prints "event <method> <status> <result>", where
 * <method> is 1.0 for notifyEventChange and 1.1 for notifyEventChange_1_1.
 * Prints "ready" once the service is found. End of input ends it.
 */
#include <hidl/HidlTransportSupport.h>
#include <stdio.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinelLpwgCallback.h>

#include <iostream>
#include <mutex>
#include <string>

using ::android::sp;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::vendor::zyr::hardware::twinel::V1_0::Result;
namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;
namespace V1_1 = ::vendor::zyr::hardware::twinel::V1_1;

namespace {

std::mutex gOutLock;

void say(const std::string& line) {
    std::lock_guard<std::mutex> l(gOutLock);
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void event(const char* method, int status, int result) {
    say(std::string("event ") + method + " " + std::to_string(status) + " " +
        std::to_string(result));
}

struct Callback11 : V1_1::ITwinelLpwgCallback {
    Return<void> notifyEventChange(V1_0::LpwgEventStatus s, Result r) override {
        event("1.0", static_cast<int>(s), static_cast<int>(r));
        return Void();
    }
    Return<void> notifyEventChange_1_1(V1_1::LpwgEventStatus s, Result r) override {
        event("1.1", static_cast<int>(s), static_cast<int>(r));
        return Void();
    }
};

struct Callback10 : V1_0::ITwinelLpwgCallback {
    Return<void> notifyEventChange(V1_0::LpwgEventStatus s, Result r) override {
        event("1.0", static_cast<int>(s), static_cast<int>(r));
        return Void();
    }
};

}  // namespace

int main(int argc, char** argv) {
    std::string instance = "default";
    if (argc == 3 && std::string(argv[1]) == "--instance") instance = argv[2];
    // Callbacks arrive on the pool's own threads.
    ::android::hardware::configureRpcThreadpool(1, false);
    sp<V1_0::ITwinel> service = V1_0::ITwinel::getService(instance);
    if (service == nullptr) {
        say("error no service");
        return 1;
    }
    say("ready");
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "ping") {
            Return<bool> ret = service->getTW2Connect();
            say(ret.isOk() ? "ok" : "error " + ret.description());
            continue;
        }
        sp<V1_0::ITwinelLpwgCallback> cb;
        if (line == "register 1.1") {
            cb = new Callback11();
        } else if (line == "register 1.0") {
            cb = new Callback10();
        } else if (line != "unregister") {
            say("error unknown command");
            continue;
        }
        Return<void> ret = service->setLpwgCallback(cb);
        say(ret.isOk() ? "ok" : "error " + ret.description());
    }
    return 0;
}
