/*
 * The D-Bus peer of ipc_bench (see ipc_peers.h): a direct connection
 * between two sd-bus endpoints over a socket pair, no bus daemon between.
 */
#define LOG_TAG "twinel_ipc_bench"

#include <log/log.h>
#include <stdint.h>
#include <string.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-id128.h>
#include <unistd.h>

#include "ipc_peers.h"

namespace twbench {

namespace {

constexpr const char* kPath = "/bench";
constexpr const char* kInterface = "org.twinel.Bench";

// Every method call on kPath: Trivial(i) -> i, Bulk(ay) -> i.
int onCall(sd_bus_message* m, void*, sd_bus_error*) {
    if (sd_bus_message_is_method_call(m, kInterface, "Trivial") > 0) {
        int32_t v = 0;
        int r = sd_bus_message_read(m, "i", &v);
        if (r < 0) return r;
        return sd_bus_reply_method_return(m, "i", v);
    }
    if (sd_bus_message_is_method_call(m, kInterface, "Bulk") > 0) {
        const void* data = nullptr;
        size_t size = 0;
        int r = sd_bus_message_read_array(m, 'y', &data, &size);
        if (r < 0) return r;
        return sd_bus_reply_method_return(m, "i", static_cast<int32_t>(size > 0 ? 1 : 0));
    }
    return 0;  // not ours: sd-bus answers with an error
}

class SdbusClient : public PeerClient {
  public:
    explicit SdbusClient(sd_bus* bus) : mBus(bus) {}
    ~SdbusClient() override { sd_bus_flush_close_unref(mBus); }

    bool trivial() override {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(mBus, nullptr, kPath, kInterface, "Trivial", &error, &reply, "i",
                                   1);
        return finish(r, &error, reply);
    }

    bool bulk(const std::string& payload) override {
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(mBus, &m, nullptr, kPath, kInterface, "Bulk");
        if (r < 0) return false;
        r = sd_bus_message_append_array(m, 'y', payload.data(), payload.size());
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (r >= 0) r = sd_bus_call(mBus, m, 0, &error, &reply);
        sd_bus_message_unref(m);
        return finish(r, &error, reply);
    }

  private:
    static bool finish(int r, sd_bus_error* error, sd_bus_message* reply) {
        int32_t v = 0;
        bool ok = r >= 0 && sd_bus_message_read(reply, "i", &v) >= 0 && v == 1;
        if (r < 0) ALOGE("sd-bus call: %s", error->message ? error->message : strerror(-r));
        sd_bus_error_free(error);
        sd_bus_message_unref(reply);
        return ok;
    }

    sd_bus* mBus;
};

}  // namespace

int runSdbusServer(int fd) {
    sd_bus* bus = nullptr;
    sd_id128_t id;
    if (sd_bus_new(&bus) < 0 || sd_id128_randomize(&id) < 0 || sd_bus_set_fd(bus, fd, fd) < 0 ||
        sd_bus_set_server(bus, 1, id) < 0 ||
        sd_bus_add_object(bus, nullptr, kPath, onCall, nullptr) < 0 || sd_bus_start(bus) < 0) {
        return 1;
    }
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;  // the client closed its end
        if (r > 0) continue;
        if (sd_bus_wait(bus, UINT64_MAX) < 0) break;
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}

std::unique_ptr<PeerClient> connectSdbus(int fd) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) {
        close(fd);
        return nullptr;
    }
    if (sd_bus_set_fd(bus, fd, fd) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);  // closes fd
        return nullptr;
    }
    return std::make_unique<SdbusClient>(bus);
}

}  // namespace twbench
