/*
 * The IPC a user might pick instead of this runtime, for ipc_bench: a gRPC
 * round trip over a Unix socket and a D-Bus method call over a direct
 * sd-bus connection. Each is built only when its development files were
 * found (TWINEL_BENCH_GRPC, TWINEL_BENCH_SDBUS).
 *
 * The servers run in children forked before this process starts any thread;
 * the clients are made afterwards.
 */
#pragma once

#include <stddef.h>

#include <memory>
#include <string>

namespace twbench {

// One client of a peer: a trivial call (an int in, an int out) and a call
// carrying a bulk payload; false when the call failed.
class PeerClient {
  public:
    virtual ~PeerClient() = default;
    virtual bool trivial() = 0;
    virtual bool bulk(const std::string& payload) = 0;
};

#ifdef TWINEL_BENCH_GRPC
// Serves on the Unix socket at path until killed; returns an exit status.
int runGrpcServer(const std::string& path);
// A client of that server, or null when it does not answer within timeoutMs.
std::unique_ptr<PeerClient> connectGrpc(const std::string& path, int timeoutMs);
#endif

#ifdef TWINEL_BENCH_SDBUS
// Serves the sd-bus server end of a socket pair until the peer closes it.
int runSdbusServer(int fd);
// The client end (takes fd), or null.
std::unique_ptr<PeerClient> connectSdbus(int fd);
#endif

}  // namespace twbench
