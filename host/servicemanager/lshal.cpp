/*
 * lshal: lists the registered HIDL services and runs their debug dumps.
 *
 *   lshal [list] [-i] [-n] [-p] [-c] [-t] [-V] [--neat]
 *                                        one row per interface and instance
 *   lshal debug FQNAME/INSTANCE [ARGS]   prints what the object's debug() writes
 *
 * Exit status as the platform's lshal: 0, 1 (usage), 2 (no hwservicemanager),
 * 8 (a service's dump failed), 64 (I/O), 128 (no such interface).
 */
#define LOG_TAG "lshal"

#include <android/hidl/manager/1.2/IServiceManager.h>
#include <cutils/native_handle.h>
#include <errno.h>
#include <hidl/HidlBinderSupport.h>
#include <hidl/HidlTransportSupport.h>
#include <hidl/ServiceManagement.h>
#include <hwbinder/BinderDebug.h>
#include <hwbinder/BpHwBinder.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <twdevice/device.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using ::android::sp;
using ::android::hardware::BinderProcessInfo;
using ::android::hardware::defaultServiceManager;
using ::android::hardware::hidl_handle;
using ::android::hardware::hidl_string;
using ::android::hardware::hidl_vec;
using ::android::hardware::Return;
using ::android::hidl::base::V1_0::IBase;
using ::android::hidl::manager::V1_2::IServiceManager;

namespace {

// The platform lshal's exit status bits.
constexpr int kOk = 0;
constexpr int kUsage = 1 << 0;
constexpr int kNoBinderizedManager = 1 << 1;
constexpr int kDumpBinderizedError = 1 << 3;
constexpr int kIoError = 1 << 6;
constexpr int kNoInterface = 1 << 7;

struct Columns {
    bool interface = false;  // -i: fully qualified interface name
    bool instance = false;   // -n: instance name (with -i: joined by '/')
    bool pid = false;        // -p: server pid
    bool clients = false;    // -c: client pids
    bool threads = false;    // -t: thread use / max
    bool vintf = false;      // -V: declared in the device manifest
    bool neat = false;       // no header line
};

}  // namespace

static int listServices(const sp<IServiceManager>& sm, Columns cols) {
    if (!(cols.interface || cols.instance || cols.pid || cols.clients || cols.threads ||
          cols.vintf)) {
        cols.interface = cols.instance = cols.threads = cols.pid = cols.clients = cols.vintf = true;
    }
    std::vector<IServiceManager::InstanceDebugInfo> infos;
    Return<void> ret = sm->debugDump([&](const auto& list) {
        for (const auto& i : list) infos.push_back(i);
    });
    if (!ret.isOk()) {
        fprintf(stderr, "lshal: cannot list services: %s\n", ret.description().c_str());
        return kDumpBinderizedError;
    }
    std::sort(infos.begin(), infos.end(), [](const auto& a, const auto& b) {
        return std::make_pair(std::string(a.interfaceName), std::string(a.instanceName)) <
               std::make_pair(std::string(b.interfaceName), std::string(b.instanceName));
    });
    // The declared instances of each interface, asked once per interface.
    std::map<std::string, std::set<std::string>> declared;
    if (cols.vintf) {
        for (const auto& i : infos) {
            if (declared.count(i.interfaceName) != 0) continue;
            std::set<std::string>& names = declared[i.interfaceName];
            Return<void> r = sm->listManifestByInterface(i.interfaceName, [&](const auto& list) {
                for (const auto& n : list) names.insert(n);
            });
            if (!r.isOk()) {
                fprintf(stderr, "lshal: cannot read the manifest: %s\n", r.description().c_str());
                return kDumpBinderizedError;
            }
        }
    }

    // Clients and threads of binderized services: asked of each serving
    // process once (its runtime knows who holds its objects and how busy its
    // pool is). Our own reference, taken for the asking, is not a client.
    struct Usage {
        bool known = false;
        std::string threads = "N/A";
        std::set<pid_t> clients;
    };
    std::vector<Usage> usage(infos.size());
    if (cols.clients || cols.threads) {
        std::map<std::string, std::pair<::android::status_t, BinderProcessInfo>> byProcess;
        for (size_t n = 0; n < infos.size(); n++) {
            const auto& i = infos[n];
            if (i.pid == static_cast<int32_t>(IServiceManager::PidConstant::NO_PID)) continue;
            Return<sp<IBase>> got = sm->get(i.interfaceName, i.instanceName);
            sp<IBase> service = got.isOk() ? static_cast<sp<IBase>>(got) : nullptr;
            sp<::android::hardware::IBinder> binder =
                    service == nullptr
                            ? nullptr
                            : ::android::hardware::getOrCreateCachedBinder(service.get());
            if (binder == nullptr || binder->remoteBinder() == nullptr) continue;
            const std::string& address = binder->remoteBinder()->address();
            auto it = byProcess.find(address);
            if (it == byProcess.end()) {
                BinderProcessInfo info;
                ::android::status_t err = ::android::hardware::getBinderProcessInfo(binder, &info);
                if (err != ::android::OK) {
                    fprintf(stderr, "lshal: cannot ask pid %d for its binder state: %d\n", i.pid,
                            err);
                }
                it = byProcess.emplace(address, std::make_pair(err, info)).first;
            }
            if (it->second.first != ::android::OK) continue;
            const BinderProcessInfo& info = it->second.second;
            usage[n].known = true;
            usage[n].threads =
                    std::to_string(info.threadsInUse) + "/" + std::to_string(info.maxThreads);
            auto holders = info.holders.find(::android::hardware::remoteObjectId(binder));
            if (holders != info.holders.end()) usage[n].clients = holders->second;
            usage[n].clients.erase(getpid());
        }
    }

    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> header;
    if (cols.vintf) header.push_back("VINTF");
    if (cols.interface) header.push_back("Interface");
    if (cols.instance && !cols.interface) header.push_back("Instance");
    if (cols.threads) header.push_back("Thread Use");
    if (cols.pid) header.push_back("Server");
    if (cols.clients) header.push_back("Clients");
    for (size_t n = 0; n < infos.size(); n++) {
        const auto& i = infos[n];
        std::vector<std::string> row;
        if (cols.vintf) {
            row.push_back(declared[i.interfaceName].count(i.instanceName) != 0 ? "DM" : "X");
        }
        if (cols.interface) {
            row.push_back(cols.instance
                                  ? std::string(i.interfaceName) + "/" + std::string(i.instanceName)
                                  : std::string(i.interfaceName));
        }
        if (cols.instance && !cols.interface) row.push_back(i.instanceName);
        if (cols.threads) row.push_back(usage[n].threads);
        if (cols.pid) {
            row.push_back(i.pid == static_cast<int32_t>(IServiceManager::PidConstant::NO_PID)
                                  ? "N/A"
                                  : std::to_string(i.pid));
        }
        if (cols.clients) {
            std::string pids;
            std::set<pid_t> clients(i.clientPids.begin(), i.clientPids.end());
            clients.insert(usage[n].clients.begin(), usage[n].clients.end());
            for (pid_t p : clients) pids += (pids.empty() ? "" : " ") + std::to_string(p);
            row.push_back(pids);
        }
        rows.push_back(row);
    }
    std::vector<size_t> width(header.size(), 0);
    for (size_t c = 0; c < header.size(); c++) {
        width[c] = cols.neat ? 0 : header[c].size();
        for (const auto& r : rows) width[c] = std::max(width[c], r[c].size());
    }
    auto print = [&](const std::vector<std::string>& r) {
        std::string line;
        for (size_t c = 0; c < r.size(); c++) {
            std::string cell = r[c];
            if (c + 1 < r.size()) cell.resize(width[c], ' ');
            line += (c == 0 ? "" : " ") + cell;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        return printf("%s\n", line.c_str()) >= 0;
    };
    bool ok = cols.neat || print(header);
    for (const auto& r : rows) ok = print(r) && ok;
    if (fflush(stdout) != 0 || !ok) {
        fprintf(stderr, "lshal: cannot write the list: %s\n", strerror(errno));
        return kIoError;
    }
    return kOk;
}

static int debugService(const sp<IServiceManager>& sm, const std::string& target,
                        const std::vector<std::string>& args) {
    size_t slash = target.find('/');
    std::string fqName = target.substr(0, slash);
    std::string instance = slash == std::string::npos ? "default" : target.substr(slash + 1);
    Return<sp<IBase>> got = sm->get(fqName, instance);
    if (!got.isOk()) {
        fprintf(stderr, "lshal: cannot reach the service manager: %s\n", got.description().c_str());
        return kNoBinderizedManager;
    }
    sp<IBase> service = got;
    if (service == nullptr) {
        fprintf(stderr, "lshal: %s/%s is not registered\n", fqName.c_str(), instance.c_str());
        return kNoInterface;
    }

    int fds[2];
    if (pipe(fds) != 0) {
        perror("lshal: pipe");
        return kIoError;
    }
    // The service may write more than a pipe holds before debug() returns.
    std::thread reader([rfd = fds[0]] {
        char buf[4096];
        ssize_t n;
        while ((n = read(rfd, buf, sizeof(buf))) > 0)
            fwrite(buf, 1, static_cast<size_t>(n), stdout);
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
        return kDumpBinderizedError;
    }
    return kOk;
}

// Why the manager cannot be reached: a socket this user may not use is not
// the same as no manager at all.
static int noManager() {
    const char* socket = "/dev/socket/hwbinder/hwservicemanager";
    struct stat st;
    bool denied = twdevice::stat(socket, &st) == 0
                          ? twdevice::access(socket, R_OK | W_OK) != 0 && errno == EACCES
                          : errno == EACCES;
    if (denied) {
        fprintf(stderr, "lshal: cannot reach hwservicemanager (%s): permission denied\n", socket);
    } else {
        fprintf(stderr, "lshal: hwservicemanager is not running\n");
    }
    return kNoBinderizedManager;
}

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    CLI::App app{"Lists HIDL services and prints their debug dumps"};
    app.require_subcommand(0, 1);
    CLI::App* list = app.add_subcommand("list", "List the registered services (the default)");
    Columns cols;
    // The same selection as the bare command.
    for (CLI::App* a : {&app, list}) {
        a->add_flag("-i,--interface", cols.interface, "Interface name column");
        a->add_flag("-n,--instance", cols.instance, "Instance name column (with -i: IFACE/NAME)");
        a->add_flag("-p,--pid", cols.pid, "Server pid column");
        a->add_flag("-c,--clients", cols.clients, "Client pids column");
        a->add_flag("-t,--threads", cols.threads, "Thread use column");
        a->add_flag("-V,--vintf", cols.vintf,
                    "Declared in the device manifest: DM, or X when not declared");
        a->add_flag("--neat", cols.neat, "No header line");
    }
    CLI::App* debug = app.add_subcommand("debug", "Print what a service's debug() writes");
    std::string target;
    std::vector<std::string> args;
    debug->add_option("service", target, "FQNAME/INSTANCE, e.g. vendor.x@1.0::IFoo/default")
            ->required();
    // Everything after the service goes to debug() as it is, dashes included;
    // so does --help, which the service answers with its own options.
    debug->prefix_command();
    debug->set_help_flag();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? kOk : kUsage;
    }
    args = debug->remaining();

    sp<IServiceManager> sm = ::android::hardware::defaultServiceManager1_2();
    if (sm == nullptr) return noManager();
    if (debug->parsed()) return debugService(sm, target, args);
    return listServices(sm, cols);
}
