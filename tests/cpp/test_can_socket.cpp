// The frame reader's rule for what one read returned, through a socket pair: unlike a CAN_RAW
// socket, it delivers a message of any size, as a faulty stand-in for one might.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <variant>

#include "transport/owed_replies.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::transport {
namespace {

using namespace std::chrono_literals;

struct ReadCase {
    std::size_t size;        // of the message the peer sends
    std::optional<bool> fd;  // what it is read as: nothing for no frame at all
};

class FrameReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(FrameReads, OnlyAWholeClassicOrFdFrameIsAFrame) {
    const ReadCase& read = GetParam();
    std::array<int, 2> ends{};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends.data()), 0);
    const FileDescriptor peer(ends[1]);
    auto bus = SocketCanTransport::adopt(FileDescriptor(ends[0]));
    canfd_frame sent{};
    sent.can_id = 0x123;
    sent.len = 8;
    sent.data[7] = 0x5A;
    // Once for each reader: the wait, a drop and the discard before a request.
    for (int copy = 0; copy < 3; ++copy) {
        ASSERT_EQ(::send(peer.get(), &sent, read.size, 0), static_cast<ssize_t>(read.size));
    }

    const auto frame = bus.recv(500ms);
    const auto dropped = bus.drop_waiting();
    OwedReplies owed;
    const std::size_t discarded = bus.discard_waiting(owed);
    if (!read.fd) {
        ASSERT_FALSE(frame);
        const auto* backend = std::get_if<Backend>(&frame.error());
        ASSERT_NE(backend, nullptr);
        EXPECT_EQ(backend->io.os_error(), EPROTO);
        EXPECT_FALSE(dropped);
        EXPECT_EQ(discarded, 0U);
        return;
    }
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->fd, *read.fd);
    EXPECT_EQ(frame->id, CanId::standard(0x123));
    ASSERT_EQ(frame->data.size(), 8U);
    EXPECT_EQ(frame->data[7], 0x5A);
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped->id, CanId::standard(0x123));
    EXPECT_EQ(discarded, 1U);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FrameReads,
                         ::testing::Values(ReadCase{CAN_MTU, false}, ReadCase{CANFD_MTU, true},
                                           ReadCase{CAN_MTU - 1, std::nullopt},
                                           ReadCase{CAN_MTU + 1, std::nullopt},
                                           ReadCase{CANFD_MTU - 1, std::nullopt}));

}  // namespace
}  // namespace jointbus::transport
