/*
 * A client process that registers a sub display callback with the service,
 * prints "registered" and then every state it is told ("state N"), until it
 * is killed. Lets a test take the client away while the service still holds
 * its callback.
 */
#include <stdio.h>
#include <unistd.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelSubDisplayCallback.h>
#include <vendor/zyr/hardware/twinel/1.1/ITwinel.h>

using ::android::sp;
using ::android::hardware::Return;
using ::android::hardware::Void;
using ::vendor::zyr::hardware::twinel::V1_0::ITwinelSubDisplayCallback;
using ::vendor::zyr::hardware::twinel::V1_0::Status;
using ::vendor::zyr::hardware::twinel::V1_0::SubScreenState;
using ::vendor::zyr::hardware::twinel::V1_1::ITwinel;

namespace {

struct Printer : ITwinelSubDisplayCallback {
    Return<void> notifyStateChanged(SubScreenState state) override {
        printf("state %d\n", static_cast<int>(state));
        fflush(stdout);
        return Void();
    }
};

}  // namespace

int main() {
    sp<ITwinel> service;
    for (int i = 0; i < 500 && service == nullptr; i++) {
        service = ITwinel::getService();
        if (service == nullptr) usleep(10 * 1000);
    }
    if (service == nullptr) {
        fprintf(stderr, "no ITwinel service\n");
        return 1;
    }
    sp<Printer> printer = new Printer();
    if (!service->setSubDisplayCallback(printer).isOk()) {
        fprintf(stderr, "setSubDisplayCallback failed\n");
        return 1;
    }
    // A synchronous call tells that the service answers; the one-way
    // registration may still be on its way (tests watch the service log).
    Status status = Status::FAILURE;
    Return<void> ret =
            service->getSubDisplayPowerState([&](Status s, SubScreenState) { status = s; });
    if (!ret.isOk() || status != Status::SUCCESS) {
        fprintf(stderr, "getSubDisplayPowerState failed\n");
        return 1;
    }
    printf("registered\n");
    fflush(stdout);
    for (;;) pause();
}
