/*
 * lshal: lists the registered HIDL services and runs their debug dumps.
 *
 *   lshal [list]                         fqname, instance and pid of each service
 *   lshal debug FQNAME/INSTANCE [ARGS]   prints what the object's debug() writes
 */
#define LOG_TAG "lshal"

#include <CLI/CLI.hpp>
#include <android/hidl/manager/1.0/IServiceManager.h>
#include <cutils/native_handle.h>
#include <hidl/HidlTransportSupport.h>
#include <hidl/ServiceManagement.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using ::android::sp;
using ::android::hardware::defaultServiceManager;
using ::android::hardware::hidl_handle;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hidl::base::V1_0::IBase;
using ::android::hidl::manager::V1_0::IServiceManager;

static int listServices(const sp<IServiceManager>& sm) {
    std::vector<IServiceManager::InstanceDebugInfo> infos;
    Return<void> ret = sm->debugDump([&](const auto& list) {
        for (const auto& i : list) infos.push_back(i);
    });
    if (!ret.isOk()) {
        fprintf(stderr, "lshal: cannot list services: %s\n", ret.description().c_str());
        return 1;
    }
    printf("%-60s %-12s %s\n", "Interface", "Instance", "PID");
    for (const auto& i : infos) {
        printf("%-60s %-12s %d\n", i.interfaceName.c_str(), i.instanceName.c_str(), i.pid);
    }
    return 0;
}

static int debugService(const sp<IServiceManager>& sm, const std::string& target,
                        const std::vector<std::string>& args) {
    size_t slash = target.find('/');
    std::string fqName = target.substr(0, slash);
    std::string instance = slash == std::string::npos ? "default" : target.substr(slash + 1);
    Return<sp<IBase>> got = sm->get(fqName, instance);
    if (!got.isOk()) {
        fprintf(stderr, "lshal: cannot reach the service manager: %s\n",
                got.description().c_str());
        return 1;
    }
    sp<IBase> service = got;
    if (service == nullptr) {
        fprintf(stderr, "lshal: %s/%s is not registered\n", fqName.c_str(), instance.c_str());
        return 1;
    }

    int fds[2];
    if (pipe(fds) != 0) {
        perror("lshal: pipe");
        return 1;
    }
    // The service may write more than a pipe holds before debug() returns.
    std::thread reader([rfd = fds[0]] {
        char buf[4096];
        ssize_t n;
        while ((n = read(rfd, buf, sizeof(buf))) > 0) fwrite(buf, 1, static_cast<size_t>(n), stdout);
        close(rfd);
    });
    native_handle_t* nh = native_handle_create(1, 0);
    nh->data[0] = fds[1];
    hidl_handle handle;
    handle.setTo(nh, true /* owns: closes our write end */);
    hidl_vec<hidl_string> options;
    options.resize(args.size());
    for (size_t i = 0; i < args.size(); i++) options[i] = args[i];

    Return<void> ret = service->debug(handle, options);
    handle.setTo(nullptr);
    reader.join();
    fflush(stdout);
    if (!ret.isOk()) {
        fprintf(stderr, "lshal: debug failed: %s\n", ret.description().c_str());
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    CLI::App app{"Lists HIDL services and prints their debug dumps"};
    app.require_subcommand(0, 1);
    app.add_subcommand("list", "List fqname, instance and pid of every service");
    CLI::App* debug = app.add_subcommand("debug", "Print what a service's debug() writes");
    std::string target;
    std::vector<std::string> args;
    debug->add_option("service", target, "FQNAME/INSTANCE, e.g. vendor.x@1.0::IFoo/default")
            ->required();
    // Everything after the service goes to debug() as it is, dashes included;
    // so does --help, which the service answers with its own options.
    debug->prefix_command();
    debug->set_help_flag();
    CLI11_PARSE(app, argc, argv);
    args = debug->remaining();

    sp<IServiceManager> sm = defaultServiceManager();
    if (sm == nullptr) {
        fprintf(stderr, "lshal: hwservicemanager is not running\n");
        return 1;
    }
    if (debug->parsed()) return debugService(sm, target, args);
    return listServices(sm);
}
