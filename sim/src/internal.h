/*
 * Pieces of the simulator shared between its source files.
 */
#pragma once

#include <errno.h>
#include <sys/types.h>
#include <twsim/simulator.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace twsim {

// ---- files (real paths) ----
namespace fs {
bool makeDirs(const std::string& dir, mode_t mode = 0755);
bool writeFile(const std::string& file, const std::string& content, mode_t mode = 0644);
bool readFile(const std::string& file, std::string* out);
// Removes a file, a link or a whole directory tree; true when nothing is left.
bool removeTree(const std::string& path);
// Symbolic link at `link` pointing at `target` by a relative path (both real
// paths), so that it resolves inside the device root.
bool relativeSymlink(const std::string& target, const std::string& link);
// Makes `content` appear at `file` in one step (written aside, then
// hard-linked into place: watchers see one IN_CREATE of a complete file).
// `prepare`, when given, runs on the file aside (its real path) before it is
// linked into place; false from it gives up.
bool publishFile(const std::string& file, const std::string& content, mode_t mode = 0644,
                 const std::function<bool(const std::string&)>& prepare = nullptr);
}  // namespace fs

// Case-insensitive prefix test.
bool startsWithNoCase(const std::string& text, const std::string& prefix);

// ---- firmware, AT side ----
struct AtState {
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<AtScript> scripts;
    std::vector<AtRecord> records;
    std::string firmwareVersion = kDefaultFirmwareVersion;

    void record(int port, const std::string& command);
    // The newest script matching `command`, counted as used.
    bool takeScript(const std::string& command, AtScript* out);
};

class Firmware {
  public:
    // Called on the firmware's thread when a script has hung the port up.
    using HangUpHandler = std::function<void(Firmware*)>;

    Firmware(AtState& state, int port);
    ~Firmware();

    // Opens the pty pair, binds the socket on which the device module
    // reports the phone's DTR/RTS requests for it (in `modemDir`, named after
    // the slave's number) and starts serving the master.
    bool start(const std::string& modemDir, HangUpHandler onHangUp);
    // Real path of the pty slave ("/dev/pts/N").
    const std::string& slavePath() const { return mSlavePath; }
    // Hangs the port up (if still up) and ends the thread.
    void stop();
    // Log lines go out only while the phone holds DTR up; until then they
    // wait in the firmware's log buffer (the newest kLogBufferLines).
    bool sendLog(const std::string& line);
    bool echo() const { return mEcho.load(); }
    bool dtr() const { return mDtr.load(); }
    static constexpr size_t kLogBufferLines = 64;

  private:
    void run();
    void handleCommand(const std::string& command);
    void handleModemReport();
    AtScript defaultAnswer(const std::string& command);
    bool output(const std::string& bytes);
    // Waits (bounded) until the phone has read the complete lines on the line.
    void waitUntilRead();
    bool outputLocked(const std::string& bytes);
    bool pause(int ms);
    void closeMaster();

    AtState& mState;
    const int mPort;
    std::mutex mIoLock;  // mMaster for writes and closing
    int mMaster = -1;
    int mSlave = -1;  // held open so the pair lives while nobody else has it
    int mWakeFd = -1;
    std::string mSlavePath;
    int mModem = -1;  // datagram socket of the modem-line reports
    std::string mModemPath;
    HangUpHandler mOnHangUp;
    std::atomic<bool> mStop{false};
    std::atomic<bool> mEcho{true};
    // Written under mIoLock, so that a line is either sent or buffered.
    std::atomic<bool> mDtr{false};
    std::deque<std::string> mLogBuffer;  // guarded by mIoLock
    std::thread mThread;
};

// ---- HID function ----
struct HidState {
    mutable std::mutex lock;
    mutable std::condition_variable changed;  // a frame was completed
    std::vector<HidRecord> records;
    size_t droppedRecords = 0;
    uint8_t config[3] = {3, 0, 0};
    std::vector<std::vector<uint8_t>> configReports;  // every set-feature report 3
    HidPanel panel;
    int delayMs = 0;                          // before each reply
    int failCount[4] = {};                    // requests still to refuse, by hidseam::Op
    int failError[4] = {EIO, EIO, EIO, EIO};  // ... with this error
    std::vector<uint8_t> assembly;            // the frame being assembled
    size_t assembled = 0;                     // its highest offset + length so far
    SubDisplayFrame lastFrame;                // sequence 0: none yet
    size_t emptyReports = 0;                  // empty reports with nothing assembled
    size_t malformedReports = 0;              // output reports 2 dropped

    // Answers one request message; returns the reply message.
    std::vector<uint8_t> handle(const uint8_t* message, size_t length);
    // Drops a frame that was being assembled (the device went away).
    void resetAssembly();
};

class HidFunction {
  public:
    explicit HidFunction(HidState& state);
    ~HidFunction();

    // Binds the socket at `node` (real path) and starts answering;
    // `prepare`, when given, runs on the bound socket file before it is
    // linked into place as `node` (false from it gives up).
    bool start(const std::string& node,
               const std::function<bool(const std::string&)>& prepare = nullptr);
    // Stops answering, closes every connection and removes the node.
    void stop();

  private:
    void run();

    HidState& mState;
    std::string mNode;
    int mListen = -1;
    int mWakeFd = -1;
    std::vector<int> mConnections;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

// ---- kernel side: node writes ----
class NodeWatcher {
  public:
    using Handler = std::function<void(const NodeRecord&)>;

    NodeWatcher() = default;
    ~NodeWatcher();

    bool start(Handler handler);
    void stop();
    // Records writes to the files of `realDir` under the names
    // `logicalDir`/<file>. Each file becomes a named pipe that the watcher
    // keeps open, so every write reaches it in order and none is merged
    // with another (writes that arrive together are told apart by the
    // node's known values).
    bool watch(const std::string& realDir, const std::string& logicalDir);
    // Stops watching the files of `realDir` (before it is removed).
    void unwatch(const std::string& realDir);

  private:
    struct Node {
        std::string real;
        std::string logical;
        std::vector<std::string> values;  // known values, longest first
    };
    void run();
    void drain(int fd);
    void rebuildPollSet();

    Handler mHandler;
    std::mutex mLock;
    std::map<int, Node> mNodes;  // fd -> node
    std::vector<int> mPollFds;   // owned by the thread
    std::atomic<bool> mRebuild{false};
    int mWakeFd = -1;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

// ---- USB ----
struct PluggedDevice {
    int port = 0;
    UsbIdentity identity;
    int devnum = 0;
    std::string usbfsNode;  // real paths of what was created
    std::string sysfsDir;
    std::string busLink;
    std::string ttyNode;
    std::string ttyClassLink;
    std::string hidNode;
    std::string hidClassLink;
    std::unique_ptr<Firmware> firmware;
    std::unique_ptr<HidFunction> hid;
};

// The 18-byte device descriptor of `identity`.
std::string deviceDescriptor(const UsbIdentity& identity);

}  // namespace twsim
