// The packets the TFTP server writes, byte for byte, as they leave the
// socket (so the datagram length is checked too).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/tftp_harness.h"
#include "tftp/tftp.h"

using namespace tftptest;

namespace {

TEST(TftpPackets, U16BigEndianEdges) {
    uint8_t b[2];
    writeU16BE(b, 1499);
    EXPECT_EQ(b[0], 0x05);
    EXPECT_EQ(b[1], 0xDB);
    writeU16BE(b, 65536);  // bits above 15 are dropped
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], 0x00);
    const uint8_t ff[2] = {0xFF, 0xFF};
    EXPECT_EQ(readU16BE(ff), 65535);  // both bytes unsigned: never negative
    const uint8_t mixed[2] = {0x80, 0x01};
    EXPECT_EQ(readU16BE(mixed), 0x8001);
}

// A server socket on 127.0.4.1 sending to a receiver on 127.0.4.2.
class TftpPacketsWire : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(receiver_.open(loopback(4, 2)));
        server_ = platSocketUdp();
        SockAddrIn local{PLAT_AF_INET, 0, platHtonl(loopback(4, 1))};
        ASSERT_EQ(platBind(server_, &local), 0);
        to_ = SockAddrIn{PLAT_AF_INET, platHtons(receiver_.port()), platHtonl(loopback(4, 2))};
        memset(buffer_, 0xEE, sizeof buffer_);  // leftovers must not leak into a packet
    }
    void TearDown() override { platCloseSocket(server_); }
    std::vector<uint8_t> received() {
        std::optional<Datagram> d = receiver_.receive(2000);
        return d ? d->bytes : std::vector<uint8_t>{};
    }

    UdpPeer receiver_;
    PlatSocket server_ = PLAT_INVALID_SOCKET;
    SockAddrIn to_{};
    uint8_t buffer_[TFTP_PACKET_SIZE];
};

TEST_F(TftpPacketsWire, OptionAckOfTheShippedImageIsThe25ListedBytes) {
    const std::vector<uint8_t> expected = {0x00, 0x06, 0x74, 0x73, 0x69, 0x7A, 0x65, 0x00, 0x37, 0x36, 0x37, 0x31, 0x34,
                                           0x38, 0x00, 0x74, 0x69, 0x6D, 0x65, 0x6F, 0x75, 0x74, 0x00, 0x35, 0x00};
    sendOptionAck(server_, buffer_, &to_, 767148);
    EXPECT_EQ(received(), expected);
}

TEST_F(TftpPacketsWire, OptionAckSizesZeroAndLargest) {
    struct Case {
        uint32_t size;
        size_t length;
    } cases[] = {{0, 20}, {4294967295u, 29}};
    for (const Case& c : cases) {
        sendOptionAck(server_, buffer_, &to_, c.size);
        std::vector<uint8_t> got = received();
        EXPECT_EQ(got.size(), c.length) << c.size;
        EXPECT_EQ(got, oack(c.size)) << c.size;
    }
}

TEST_F(TftpPacketsWire, DataBlocks) {
    uint8_t image[600];
    for (int i = 0; i < 600; ++i) image[i] = static_cast<uint8_t>(i * 7);
    // Without data: opcode and block number only.
    sendDataBlock(server_, buffer_, image, 0, 0x1234, &to_);
    EXPECT_EQ(received(), (std::vector<uint8_t>{0x00, 0x03, 0x12, 0x34}));
    // A full block carries exactly 512 bytes; a longer length is cut.
    for (uint32_t length : {512u, 600u}) {
        sendDataBlock(server_, buffer_, image, length, 65535, &to_);
        std::vector<uint8_t> got = received();
        ASSERT_EQ(got.size(), 516u);
        EXPECT_EQ(got[2], 0xFF);
        EXPECT_EQ(got[3], 0xFF);
        EXPECT_TRUE(std::equal(image, image + 512, got.begin() + 4));
    }
}

}  // namespace
