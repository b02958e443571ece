/*
 * The gRPC peer of ipc_bench (see ipc_peers.h).
 */
#include <grpcpp/grpcpp.h>

#include <chrono>

#include "ipc_peer.grpc.pb.h"
#include "ipc_peers.h"

namespace twbench {

namespace {

class PeerService final : public Peer::Service {
    grpc::Status Call(grpc::ServerContext*, const CallRequest* request, CallReply* reply) override {
        reply->set_status(request->value());
        return grpc::Status::OK;
    }
};

class GrpcClient : public PeerClient {
  public:
    explicit GrpcClient(std::shared_ptr<grpc::Channel> channel)
        : mStub(Peer::NewStub(std::move(channel))) {}

    bool trivial() override {
        CallRequest request;
        request.set_value(1);
        return call(request);
    }

    bool bulk(const std::string& payload) override {
        CallRequest request;
        request.set_value(1);
        request.set_payload(payload);
        return call(request);
    }

  private:
    bool call(const CallRequest& request) {
        grpc::ClientContext context;
        CallReply reply;
        return mStub->Call(&context, request, &reply).ok() && reply.status() == 1;
    }

    std::unique_ptr<Peer::Stub> mStub;
};

}  // namespace

int runGrpcServer(const std::string& path) {
    PeerService service;
    grpc::ServerBuilder builder;
    builder.AddListeningPort("unix:" + path, grpc::InsecureServerCredentials());
    builder.RegisterService(&service);
    // A 64 KiB call fits the default 4 MiB message limit.
    std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
    if (server == nullptr) return 1;
    server->Wait();
    return 0;
}

std::unique_ptr<PeerClient> connectGrpc(const std::string& path, int timeoutMs) {
    std::shared_ptr<grpc::Channel> channel =
            grpc::CreateChannel("unix:" + path, grpc::InsecureChannelCredentials());
    if (!channel->WaitForConnected(std::chrono::system_clock::now() +
                                   std::chrono::milliseconds(timeoutMs))) {
        return nullptr;
    }
    return std::make_unique<GrpcClient>(std::move(channel));
}

}  // namespace twbench
