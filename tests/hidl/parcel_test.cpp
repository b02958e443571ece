/*
 * The wire form of a Parcel as the transport writes and reads it: a
 * synchronous call's large buffers go to the socket from where their writer
 * holds them, in pieces that make the same bytes as the contiguous
 * encoding, and a received message's buffers are read where they arrived.
 */
#define LOG_TAG "hidl_parcel_test"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <hidl/HidlSupport.h>
#include <hwbinder/Parcel.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TransportFrame.h"

using ::android::OK;
using ::android::hardware::FrameHeader;
using ::android::hardware::hidl_vec;
using ::android::hardware::Parcel;
using ::android::hardware::Transport;

namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(seed + i * 31);
    return v;
}

std::vector<struct iovec> piecesOf(const Parcel::WireForm& wire) {
    std::vector<struct iovec> pieces(Parcel::WireForm::kMaxPieces);
    pieces.resize(wire.iovecs(pieces.data()));
    return pieces;
}

std::string joined(const Parcel::WireForm& wire) {
    std::string out;
    for (const auto& piece : piecesOf(wire)) {
        out.append(static_cast<const char*>(piece.iov_base), piece.iov_len);
    }
    return out;
}

bool pieceAt(const Parcel::WireForm& wire, const void* at) {
    for (const auto& piece : piecesOf(wire)) {
        if (piece.iov_base == at) return true;
    }
    return false;
}

// A parcel as a proxy writes a vec argument: the vec's struct, then its
// elements embedded at the struct's buffer pointer.
struct VecParcel {
    explicit VecParcel(size_t bytes) : elements(pattern(bytes, 7)) {
        vec.setToExternal(elements.data(), elements.size());
        size_t parent = 0;
        ok = parcel.writeInt32(42) == OK && parcel.writeBuffer(&vec, sizeof(vec), &parent) == OK &&
             parcel.writeEmbeddedBuffer(elements.data(), elements.size(), nullptr, parent,
                                        hidl_vec<uint8_t>::kOffsetOfBuffer) == OK;
    }
    std::vector<uint8_t> elements;
    hidl_vec<uint8_t> vec;
    Parcel parcel;
    bool ok = false;
};

TEST(ParcelWire, PiecesMakeTheContiguousEncoding) {
    struct Case {
        const char* name;
        std::vector<size_t> buffers;  // top-level buffer lengths
        size_t referenced;            // how many of them go uncopied
    };
    const size_t maxRefs = Parcel::WireForm::kMaxReferences;
    const Case cases[] = {
            {"scalars only", {}, 0},
            {"small buffers are copied", {1, 24, Parcel::WireForm::kMinReference - 1}, 0},
            {"large buffers of odd lengths", {64 * 1024 + 3, 4097, 10}, 2},
            {"past the piece limit", std::vector<size_t>(maxRefs + 5, 5000), maxRefs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<uint8_t>> sources;
        Parcel p;
        ASSERT_EQ(OK, p.writeInterfaceToken("vendor.test@1.0::IWire"));
        ASSERT_EQ(OK, p.writeUint64(0x1122334455667788ull));
        for (size_t len : c.buffers) {
            sources.push_back(pattern(len, static_cast<uint8_t>(sources.size())));
            ASSERT_EQ(OK, p.writeBuffer(sources.back().data(), len, nullptr));
        }
        std::string flat;
        std::vector<int> fds;
        size_t local = 0;
        ASSERT_EQ(OK, p.serialize(&flat, &fds, &local));
        Parcel::WireForm wire;
        ASSERT_EQ(OK, p.serialize(&wire, &fds, &local));
        EXPECT_EQ(flat.size(), wire.size());
        EXPECT_TRUE(joined(wire) == flat);
        size_t referenced = 0;
        for (const auto& s : sources) referenced += pieceAt(wire, s.data()) ? 1 : 0;
        EXPECT_EQ(c.referenced, referenced);
    }
}

TEST(ParcelWire, ReceivedBuffersAreReadWhereTheyArrived) {
    VecParcel sent(64 * 1024 + 5);
    ASSERT_TRUE(sent.ok);
    std::string serialized;
    std::vector<int> fds;
    size_t local = 0;
    ASSERT_EQ(OK, sent.parcel.serialize(&serialized, &fds, &local));
    const std::string copy = serialized;
    ::android::hardware::WireBytes message(serialized.data(), serialized.size());

    // Taken over: the elements stay in the message.
    const char* begin = message.data();
    const char* end = begin + message.size();
    Parcel taken;
    ASSERT_EQ(OK, taken.deserialize(std::move(message), &fds));
    // Copied: the same contents.
    Parcel copied;
    ASSERT_EQ(OK,
              copied.deserialize(reinterpret_cast<const uint8_t*>(copy.data()), copy.size(), &fds));

    for (Parcel* p : {&taken, &copied}) {
        int32_t first = 0;
        ASSERT_EQ(OK, p->readInt32(&first));
        EXPECT_EQ(42, first);
        size_t parent = 0;
        const void* vecPtr = nullptr;
        ASSERT_EQ(OK, p->readBuffer(sizeof(hidl_vec<uint8_t>), &parent, &vecPtr));
        const auto* vec = static_cast<const hidl_vec<uint8_t>*>(vecPtr);
        const void* data = nullptr;
        ASSERT_EQ(OK, p->readNullableEmbeddedBuffer(sent.elements.size(), nullptr, parent,
                                                    hidl_vec<uint8_t>::kOffsetOfBuffer, &data));
        ASSERT_EQ(sent.elements.size(), vec->size());
        EXPECT_EQ(data, vec->data());  // the struct points at its elements
        EXPECT_EQ(0, memcmp(data, sent.elements.data(), sent.elements.size()));
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(data) % 8);
        if (p == &taken) {
            EXPECT_TRUE(static_cast<const char*>(data) >= begin &&
                        static_cast<const char*>(data) < end);
        }
        // Written to after all, the data section keeps what it held.
        const size_t before = p->dataSize();
        ASSERT_EQ(OK, p->writeInt32(-7));
        EXPECT_EQ(before + sizeof(int32_t) + 4, p->dataSize());
        p->setDataPosition(0);
        int32_t again = 0;
        ASSERT_EQ(OK, p->readInt32(&again));
        EXPECT_EQ(42, again);
        p->setDataPosition(before);
        ASSERT_EQ(OK, p->readInt32(&again));
        EXPECT_EQ(-7, again);
    }
}

TEST(ParcelWire, FramesInPiecesSurvivePartialWrites) {
    // Three large buffers through a socket whose buffer takes a fraction of
    // them at a time, with a descriptor riding on the first byte.
    std::vector<std::vector<uint8_t>> sources = {pattern(300 * 1024 + 1, 1), pattern(5000, 2),
                                                 pattern(200 * 1024 + 7, 3)};
    Parcel p;
    for (const auto& s : sources) ASSERT_EQ(OK, p.writeBuffer(s.data(), s.size(), nullptr));
    std::string flat;
    std::vector<int> unused;
    size_t local = 0;
    ASSERT_EQ(OK, p.serialize(&flat, &unused, &local));
    Parcel::WireForm wire;
    ASSERT_EQ(OK, p.serialize(&wire, &unused, &local));

    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    int pipeFds[2];
    ASSERT_EQ(0, pipe2(pipeFds, O_CLOEXEC));

    FrameHeader got = {};
    std::string payload;
    std::vector<int> fds;
    bool read = false;
    std::thread reader([&] { read = readFrame(sv[1], &got, &payload, &fds, -1); });
    FrameHeader h = {Transport::kMagic, 2, 7, 0, 99, 5, static_cast<uint32_t>(wire.size()), 0};
    const std::vector<struct iovec> pieces = piecesOf(wire);
    EXPECT_TRUE(writeFrame(sv[0], h, pieces.data(), pieces.size(), {pipeFds[0]}));
    reader.join();
    ASSERT_TRUE(read);
    EXPECT_EQ(99u, got.txnId);
    EXPECT_EQ(flat.size(), payload.size());
    EXPECT_TRUE(payload == flat);
    ASSERT_EQ(1u, fds.size());
    EXPECT_EQ(1, write(pipeFds[1], "x", 1));
    char c = 0;
    EXPECT_EQ(1, ::read(fds[0], &c, 1));  // the descriptor is the pipe's read end
    for (int fd : {sv[0], sv[1], pipeFds[0], pipeFds[1], fds[0]}) close(fd);
}

}  // namespace
