// The packets the TFTP server writes, byte for byte, as they leave the
// socket (so the datagram length is checked too).
#include <gtest/gtest.h>

#include "support/tftp_harness.h"

using namespace tftptest;

namespace {

TEST(TftpPackets, U16BigEndianEdges) {
    uint8_t b[2];
    writeU16BE(b, 1499);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 2), (std::vector<uint8_t>{0x05, 0xDB}));
    writeU16BE(b, 65536);  // bits above 15 are dropped
    EXPECT_EQ(std::vector<uint8_t>(b, b + 2), (std::vector<uint8_t>{0x00, 0x00}));
    const uint8_t ff[2] = {0xFF, 0xFF}, mixed[2] = {0x80, 0x01};
    EXPECT_EQ(readU16BE(ff), 65535);  // both bytes unsigned: never negative
    EXPECT_EQ(readU16BE(mixed), 0x8001);
}

// A server socket on 127.0.4.1 sending to a receiver on 127.0.4.2.
class TftpPacketsWire : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(receiver_.open(loopback(4, 2)));
        SockAddrIn local{PLAT_AF_INET, 0, platHtonl(loopback(4, 1))};
        ASSERT_EQ(platBind(server_, &local), 0);
        to_ = SockAddrIn{PLAT_AF_INET, platHtons(receiver_.port()), platHtonl(loopback(4, 2))};
        memset(buffer_, 0xEE, sizeof buffer_);  // leftovers must not leak into a packet
    }
    void TearDown() override { platCloseSocket(server_); }
    std::vector<uint8_t> received() { return receiver_.receive(2000).value_or(Datagram{}).bytes; }

    UdpPeer receiver_;
    PlatSocket server_ = platSocketUdp();
    SockAddrIn to_{};
    uint8_t buffer_[TFTP_PACKET_SIZE];
};

TEST_F(TftpPacketsWire, OptionAcks) {
    sendOptionAck(server_, buffer_, &to_, 767148);  // the shipped image: these 25 bytes
    const char shipped[] = "\0\6tsize\0" "767148\0timeout\0" "5";
    EXPECT_EQ(received(), std::vector<uint8_t>(shipped, shipped + 25));
    for (auto [size, length] : {std::pair{0u, 20u}, {4294967295u, 29u}}) {
        sendOptionAck(server_, buffer_, &to_, size);
        std::vector<uint8_t> got = received();
        EXPECT_EQ(got.size(), length) << size;
        EXPECT_EQ(got, oack(size)) << size;
    }
}

TEST_F(TftpPacketsWire, DataBlocks) {
    uint8_t image[600];
    for (int i = 0; i < 600; ++i) image[i] = static_cast<uint8_t>(i * 7);
    sendDataBlock(server_, buffer_, image, 0, 0x1234, &to_);  // without data: opcode and block number only
    EXPECT_EQ(received(), (std::vector<uint8_t>{0x00, 0x03, 0x12, 0x34}));
    for (uint32_t length : {512u, 600u}) {  // a full block carries exactly 512 bytes; a longer length is cut
        sendDataBlock(server_, buffer_, image, length, 65535, &to_);
        std::vector<uint8_t> got = received();
        ASSERT_EQ(got.size(), 516u);
        EXPECT_EQ(got[2], 0xFF);
        EXPECT_EQ(got[3], 0xFF);
        EXPECT_TRUE(std::equal(image, image + 512, got.begin() + 4));
    }
}

}  // namespace
