/*
 * The libhidl API vendor code uses beyond the generated code: each entry of
 * the table compiles against the host runtime and behaves as on a phone.
 */
// First: vendor code reaches the log macros through this header alone.
#include <hidl/HidlBinderSupport.h>
#ifndef ALOGE
#error "<hidl/HidlBinderSupport.h> must bring <log/log.h>"
#endif

#include <android/hidl/manager/1.2/IServiceManager.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hidl/HidlTransportSupport.h>
#include <hidl/LegacySupport.h>
#include <hidl/MQDescriptor.h>
#include <hidl/ServiceManagement.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vendor/zyr/hardware/coverdisplay/1.0/BsCoverDisplay.h>
#include <vendor/zyr/hardware/coverdisplay/1.0/ICoverDisplay.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinel.h>
#include <vendor/zyr/hardware/twinel/1.0/ITwinelAtCallback.h>

#include <fstream>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "test_util.h"

using namespace ::android;
using namespace ::android::hardware;
using ::android::hidl::base::V1_0::IBase;
using ::vendor::zyr::hardware::coverdisplay::V1_0::BsCoverDisplay;
using ::vendor::zyr::hardware::coverdisplay::V1_0::ICoverDisplay;
namespace V1_0 = ::vendor::zyr::hardware::twinel::V1_0;

namespace {

struct AtCallback : V1_0::ITwinelAtCallback {
    Return<void> responseAtCommand(const hidl_string&) override { return Void(); }
};

using Queue = MQDescriptor<uint8_t, kSynchronizedReadWrite>;

// A queue descriptor over a fresh file of its own.
native_handle_t* queueHandle(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    native_handle_t* h = native_handle_create(1, 1);
    h->data[0] = fd;
    h->data[1] = 77;
    return h;
}

ino_t inode(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

class Api : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(mRoot.path().empty());
        setenv("TWINEL_DEVICE_ROOT", mRoot.path().c_str(), 1);
        setenv("HIDL_PASSTHROUGH_PATH", (twtest::binDir() + "/../passthrough-test").c_str(), 1);
        ASSERT_TRUE(mManager.start({twtest::binDir() + "/hwservicemanager"},
                                   {"TWINEL_DEVICE_ROOT=" + mRoot.path()}));
        ASSERT_TRUE(twtest::waitFor([] { return defaultServiceManager() != nullptr; }, 5000));
        // The cover display library is declared as a passthrough HAL.
        std::string dir = mRoot.path();
        for (const char* part : {"vendor", "etc", "vintf"}) {
            dir += std::string("/") + part;
            mkdir(dir.c_str(), 0755);
        }
        std::ofstream(dir + "/manifest.xml")
                << "<manifest version=\"1.0\" type=\"device\">\n"
                   "  <hal format=\"hidl\">\n"
                   "    <name>vendor.zyr.hardware.coverdisplay</name>\n"
                   "    <transport>passthrough</transport>\n"
                   "    <fqname>@1.0::ICoverDisplay/panel</fqname>\n"
                   "  </hal>\n"
                   "</manifest>\n";
    }

    twtest::TempDir mRoot{"twapi"};
    twtest::Child mManager;
};

TEST_F(Api, EachEntryBehaves) {
    struct Entry {
        const char* name;
        std::function<bool()> check;
    } entries[] = {
            {"hidl_vec = {braced list}",
             [] {
                 hidl_vec<int32_t> v = {9};
                 v = {1, 2, 3};
                 return v.size() == 3 && v[0] == 1 && v[2] == 3;
             }},
            {"hidl_vec == std::vector",
             [] {
                 hidl_vec<int32_t> v = {1, 2, 3};
                 return v == std::vector<int32_t>{1, 2, 3} && v != std::vector<int32_t>{1, 2} &&
                        !(v == std::vector<int32_t>{1, 2, 4});
             }},
            {"hidl_version ordering",
             [] {
                 auto v = make_hidl_version;
                 return v(1, 1) < v(1, 2) && v(1, 9) < v(2, 0) && !(v(1, 2) < v(1, 2)) &&
                        v(2, 0) > v(1, 9) && v(1, 2) <= v(1, 2) && v(1, 2) >= v(1, 1) &&
                        v(1, 0) != v(1, 1);
             }},
            {"details::destructElement",
             [] {
                 static int destroyed = 0;
                 struct Counted {
                     ~Counted() { destroyed++; }
                 };
                 alignas(Counted) unsigned char storage[sizeof(Counted)];
                 Counted* c = new (storage) Counted();
                 details::destructElement(c);
                 details::destructElement<Counted>(nullptr);
                 return destroyed == 1;
             }},
            {"toBinder",
             [] {
                 sp<V1_0::ITwinelAtCallback> cb = new AtCallback();
                 sp<IBinder> binder = toBinder<V1_0::ITwinelAtCallback>(cb);
                 return binder != nullptr && binder == getOrCreateCachedBinder(cb.get()) &&
                        binder->localBinder() != nullptr;
             }},
            {"MQDescriptor constructors and grantors()",
             [this] {
                 Queue q(100, queueHandle(mRoot.path() + "/q1"), 1, true /* event flag */);
                 const auto& g = q.grantors();
                 bool layout = g.size() == 4 && g[Queue::READPTRPOS].offset == 0 &&
                               g[Queue::WRITEPTRPOS].offset == 8 &&
                               g[Queue::DATAPTRPOS].offset == 16 &&
                               g[Queue::EVFLAGWORDPOS].offset == 120 && q.getSize() == 100 &&
                               q.getQuantum() == 1 && q.isHandleValid();
                 Queue plain({{0, 0, 0, 8}, {0, 0, 8, 8}, {0, 0, 16, 64}}, nullptr, 4);
                 // A copy owns a duplicate of the queue's descriptor.
                 Queue copy(q);
                 bool dup = copy.handle()->data[0] != q.handle()->data[0] &&
                            inode(copy.handle()->data[0]) == inode(q.handle()->data[0]) &&
                            copy.handle()->data[1] == 77;
                 return layout && dup && plain.countGrantors() == 3 && plain.getSize() == 64 &&
                        !plain.isHandleValid() && Queue().getSize() == 0;
             }},
            {"MQDescriptor carried in a transaction with its handle",
             [this] {
                 Queue q(64, queueHandle(mRoot.path() + "/q2"), 4);
                 Parcel out;
                 size_t parent;
                 if (out.writeBuffer(&q, sizeof(q), &parent) != OK ||
                     writeEmbeddedToParcel(q, &out, parent, 0) != OK) {
                     return false;
                 }
                 std::string wire;
                 std::vector<int> fds;
                 size_t local = 0;
                 if (out.serialize(&wire, &fds, &local) != OK || fds.size() != 1) return false;
                 fds[0] = dup(fds[0]);  // the receiver owns what it receives
                 Parcel in;
                 if (in.deserialize(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(),
                                    &fds) != OK) {
                     return false;
                 }
                 size_t handle;
                 const void* ptr;
                 if (in.readBuffer(sizeof(Queue), &handle, &ptr) != OK) return false;
                 Queue& got = *const_cast<Queue*>(static_cast<const Queue*>(ptr));
                 if (readEmbeddedFromParcel(got, in, handle, 0) != OK) return false;
                 return got.countGrantors() == 3 && got.getSize() == 64 &&
                        got.grantors()[Queue::DATAPTRPOS].offset == 16 && got.getQuantum() == 4 &&
                        got.handle() != nullptr && got.handle()->numFds == 1 &&
                        inode(got.handle()->data[0]) == inode(q.handle()->data[0]);
             }},
            {"registerPassthroughServiceImplementation",
             [] {
                 bool ok = registerPassthroughServiceImplementation<ICoverDisplay>("legacy") == OK;
                 sp<IBase> got = defaultServiceManager()
                                         ->get(ICoverDisplay::descriptor, "legacy")
                                         .withDefault(nullptr);
                 // An implementation of another interface is refused.
                 bool refused =
                         registerPassthroughServiceImplementation<ICoverDisplay, V1_0::ITwinel>(
                                 "wrong") != OK;
                 return ok && got != nullptr && refused &&
                        defaultServiceManager()
                                        ->get(ICoverDisplay::descriptor, "wrong")
                                        .withDefault(nullptr) == nullptr;
             }},
            {"getService(getStub=true) is the implementation itself",
             [] {
                 sp<ICoverDisplay> raw = ICoverDisplay::getService("panel", true);
                 return raw != nullptr && !raw->isRemote() &&
                        dynamic_cast<BsCoverDisplay*>(raw.get()) == nullptr;
             }},
            {"getService of a passthrough HAL hands out the Bs wrapper",
             [] {
                 sp<ICoverDisplay> wrapped = ICoverDisplay::getService("panel");
                 return wrapped != nullptr &&
                        dynamic_cast<BsCoverDisplay*>(wrapped.get()) != nullptr &&
                        wrapped->doFirmwareUpgrade().withDefault(0) == 42;
             }},
            {"a short reply sets the Return's status",
             [] {
                 Parcel empty;
                 Status status = Status::ok();
                 return readFromParcel(&status, empty) != OK && !status.isOk();
             }},
            {"transact of a two-way method without a callback",
             [] {
                 sp<ICoverDisplay> cd = ICoverDisplay::getService("panel", true);
                 sp<IBinder> stub = toBinder<ICoverDisplay>(cd);
                 if (stub == nullptr) return false;
                 Parcel data, reply;
                 data.writeInterfaceToken(ICoverDisplay::descriptor);
                 // doFirmwareUpgrade: the second operation.
                 if (stub->transact(2, data, &reply, 0 /* flags */) != OK) return false;
                 Status status;
                 int32_t ret = 0;
                 return readFromParcel(&status, reply) == OK && status.isOk() &&
                        reply.readInt32(&ret) == OK && ret == 42;
             }},
    };
    for (const auto& e : entries) {
        EXPECT_TRUE(e.check()) << e.name;
    }
}

}  // namespace
