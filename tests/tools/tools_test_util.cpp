#include "tools_test_util.h"

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>

extern char** environ;

namespace twtools {

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              int timeoutMs, const std::string& cwd) {
    RunResult r;
    char outTmpl[] = "/tmp/twtools-outXXXXXX";
    char errTmpl[] = "/tmp/twtools-errXXXXXX";
    int outFd = mkstemp(outTmpl);
    int errFd = mkstemp(errTmpl);
    if (outFd < 0 || errFd < 0) return r;
    unlink(outTmpl);
    unlink(errTmpl);

    pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        // Its own process group, so that a time-out ends whatever it started.
        setpgid(0, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const auto& e : env) {
            if (e.find('=') == std::string::npos) {
                unsetenv(e.c_str());
            } else {
                putenv(strdup(e.c_str()));
            }
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int64_t start = twtest::nowMs();
    int status = 0;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (twtest::nowMs() - start > timeoutMs) {
            r.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.ms = twtest::nowMs() - start;
    if (!r.timedOut && WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    for (auto [fd, text] : {std::pair<int, std::string*>{outFd, &r.out}, {errFd, &r.err}}) {
        lseek(fd, 0, SEEK_SET);
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0) text->append(buf, static_cast<size_t>(n));
        close(fd);
    }
    return r;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines) {
        if (l.find(text) != std::string::npos) return true;
    }
    return false;
}

bool readPng(const std::string& file, Grey* out) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, file.c_str())) return false;
    image.format = PNG_FORMAT_GRAY;
    out->width = image.width;
    out->height = image.height;
    out->pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out->pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    return true;
}

bool writePng(const std::string& file, const Grey& picture) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = picture.width;
    image.height = picture.height;
    image.format = PNG_FORMAT_GRAY;
    return png_image_write_to_file(&image, file.c_str(), 0, picture.pixels.data(), 0, nullptr) != 0;
}

// Bounds for start-up only: a loaded machine (a sanitizer build, tests run
// side by side) can take several seconds for a step that normally takes
// milliseconds, and nothing waits longer than the step needs.
constexpr int kStartMs = 20000;

System::System(bool service, bool plug, const std::string& serviceRc) {
    signal(SIGPIPE, SIG_IGN);
    if (root().empty()) return;
    mEnv = {"TWINEL_DEVICE_ROOT=" + root()};
    if (!twtest::startSimulator(&mSim, root(), mEnv, kStartMs)) return;
    if (service) {
        if (!twtest::installServiceManifest(root())) return;
        if (!twtest::startServiceManager(&mManager, root(), mEnv, kStartMs)) return;
        if (!mService.start(twtest::serviceCommand(serviceRc), mEnv, root() + "/service.log")) {
            return;
        }
        if (!twtest::waitFor([&] { return client({"getTW2Connect"}).exitCode == 0; }, kStartMs)) {
            return;
        }
    }
    if (plug) {
        if (!simOk("plug")) return;
        if (service &&
            !simOk("wait-record /sys/class/twinel/tw2/tw2_hal_ready 1 " + std::to_string(kStartMs),
                   kStartMs + 5000))
            return;
        // The sub display powers itself on half a second after it is found.
        if (service &&
            !twtest::waitFor(
                    [&] {
                        return client({"getSubDisplayPowerState"}).out.find("state: 3") !=
                               std::string::npos;
                    },
                    kStartMs)) {
            return;
        }
    }
    mOk = true;
}

System::~System() {
    // The service first, so that it does not see the accessory go.
    mService.kill(SIGKILL, true);
    mManager.kill(SIGKILL, true);
    mSim.writeLine("quit");
    if (mSim.wait(3000) == -1) mSim.kill(SIGKILL, true);
}

std::vector<std::string> System::sim(const std::string& command, int timeoutMs) {
    return twtest::simCommand(&mSim, command, timeoutMs);
}

bool System::simOk(const std::string& command, int timeoutMs) {
    return twtest::simOk(&mSim, command, timeoutMs);
}

RunResult System::client(const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv = {twtest::binDir() + "/twinelctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, mEnv, timeoutMs);
}

bool System::startClient(twtest::Child* child, const std::vector<std::string>& args,
                         const std::string& logPath) {
    std::vector<std::string> argv = {twtest::binDir() + "/twinelctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return child->start(argv, mEnv, logPath);
}

std::vector<std::string> System::atCommands() {
    std::vector<std::string> out;
    for (const auto& l : sim("commands")) {
        // command <ms> <port> <command>
        if (l.rfind("command ", 0) != 0) continue;
        size_t a = l.find(' ', 8);
        size_t b = a == std::string::npos ? a : l.find(' ', a + 1);
        if (b != std::string::npos) out.push_back(l.substr(b + 1));
    }
    return out;
}

std::vector<std::string> System::nodeWrites(const std::string& node) {
    std::vector<std::string> out;
    std::string key = " " + node + " ";
    for (const auto& l : sim("records")) {
        // record <ms> <node> <value> exact|inexact
        size_t at = l.find(key);
        if (l.rfind("record ", 0) != 0 || at == std::string::npos) continue;
        std::string rest = l.substr(at + key.size());
        size_t sp = rest.rfind(' ');
        out.push_back(sp == std::string::npos ? rest : rest.substr(0, sp));
    }
    return out;
}

}  // namespace twtools
