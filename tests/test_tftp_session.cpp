// The transfer session and the verification after it, run in-process
// against a scripted client for what real clients will not do. Every test
// has loopback addresses of its own (127.0.4.10 .. 127.0.4.199).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/clock_internal.h"
#include "support/tftp_harness.h"
#include "support/tftp_http_stub.h"
#include "tftp/tftp.h"

using namespace tftptest;

namespace {

const char TARGET_VERSION[] = "3.1.7(GWe)";
const char TRANSITION_VERSION[] = "2.0.13(NTr)";
const char INCOMPLETE[] = "Upgrade Failed: Firmware Upload Incomplete";
const char NOT_MATCHING[] = "Upgrade Failed: Version not matching";

void prepareRun(const std::vector<uint8_t>& target, const char* deviceText, int stage = 1, int phone = 0) {
    installImage(&g_targetImage, target, TARGET_VERSION);
    TargetStage.store(stage);
    g_phoneProduct = phone;
    copyText(g_deviceAddressText, sizeof g_deviceAddressText, deviceText);
}

// The number of the uploading window in a session's lines.
int uploadingWindow(const SessionRecord& r) {
    for (const auto& l : r.lines) {
        int w;
        if (sscanf(l.c_str(), "open %d 110", &w) == 1) return w;
    }
    return -1;
}

// The next datagram that is not a repeat of block `previous`: resends of
// the packet in flight are the interval's business, not a fault here.
std::optional<Datagram> nextBlock(UdpPeer& client, uint16_t previous) {
    for (;;) {
        std::optional<Datagram> d = client.receive(2000);
        if (!d || d->opcode() != TFTP_DATA || d->block() != previous) return d;
    }
}

TEST(TftpSession, UnansweredOptionAckIsSentThirtyTimesOnTheClockEvenUnderAFlood) {
    std::vector<uint8_t> image = makeImage(2000, 1);
    prepareRun(image, "127.0.4.11");
    const uint32_t server = loopback(4, 10), device = loopback(4, 11);
    SessionServer session;
    ASSERT_TRUE(session.start(server, 6900));
    UdpPeer client, stranger;
    ASSERT_TRUE(client.open(device));
    ASSERT_TRUE(stranger.open(device));
    ASSERT_TRUE(client.send(server, 6900, rrq("/ulx1.bi1")));

    // While the OACKs come: the right ACK from the wrong port, and stale
    // ACKs and ERRORs from the device, as fast as they can be sent. None
    // of them may shorten an interval or end the session.
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding) {
            stranger.send(server, 6900, ack(0));
            client.send(server, 6900, ack(7));
            client.send(server, 6900, packet(TFTP_ERROR, std::string("\x00\x01" "busy", 6)));
            std::this_thread::yield();
        }
    });
    std::vector<Datagram> sent;
    while (std::optional<Datagram> d = client.receive(sent.empty() ? 2000 : 500)) sent.push_back(*d);
    flooding = false;
    flood.join();

    ASSERT_EQ(sent.size(), 30u);
    std::vector<uint32_t> gaps;
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].bytes, oack(2000)) << i;
        EXPECT_EQ(sent[i].port, 6900) << i;
        if (i > 0) gaps.push_back(sent[i].clockMs - sent[i - 1].clockMs);
    }
    // 100 ms apart on the clock. Arrival times jitter under the flood, so
    // the typical gap and the whole span are held, not each gap.
    std::sort(gaps.begin(), gaps.end());
    EXPECT_GE(gaps[gaps.size() / 2], 95u);
    EXPECT_LE(gaps[gaps.size() / 2], 150u);
    EXPECT_GE(sent.back().clockMs - sent.front().clockMs, 2800u);
    EXPECT_FALSE(stranger.receive(0));

    SessionRecord r = session.finish();
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.messages, std::vector<std::string>{INCOMPLETE});
    EXPECT_FALSE(r.successDialog);
    // The give-up comes an interval after the last OACK, then the full wait.
    EXPECT_GE(r.firstMessageClockMs - sent.back().clockMs, 100u + 937u * 32u - 31u - 100u);
}

TEST(TftpSession, LockStepTakesOnlyTheAckInFlightFromThePeer) {
    std::vector<uint8_t> image = makeImage(1100, 2);  // blocks of 512, 512 and 76 bytes
    prepareRun(image, "ulx-lab");
    const uint32_t server = loopback(4, 12), device = loopback(4, 13);
    SessionServer session;
    ASSERT_TRUE(session.start(server, 6901));
    UdpPeer client, other;
    ASSERT_TRUE(client.open(device));
    ASSERT_TRUE(other.open(device));
    auto dataOf = [&](size_t from, size_t to) {
        std::vector<uint8_t> p = {0, 3, 0, static_cast<uint8_t>(from / 512 + 1)};
        p.insert(p.end(), image.begin() + static_cast<long>(from), image.begin() + static_cast<long>(to));
        return p;
    };

    client.send(server, 6901, rrq("/ulx2.bi1"));
    std::optional<Datagram> d = client.receive(2000);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes, oack(1100));
    EXPECT_EQ(d->port, 6901);
    client.send(server, 6901, ack(1));  // a block not sent yet
    client.send(server, 6901, ack(0));  // answers the OACK
    d = client.receive(2000);
    ASSERT_TRUE(d);
    ASSERT_EQ(d->bytes, dataOf(0, 512));

    // None of these is the acknowledgement of block 1 from the device:
    // a duplicate ACK 0; ACK 1 from another port; 1- and 3-byte datagrams
    // that would read as ACK 1 if the bytes of the foreign ACK before them
    // were taken for theirs; a repeated read request; an ERROR.
    other.send(server, 6901, ack(1));
    client.send(server, 6901, {0x00});
    other.send(server, 6901, ack(1));
    client.send(server, 6901, {0x00, 0x04, 0x00});
    client.send(server, 6901, ack(0));
    client.send(server, 6901, rrq("/ulx2.bi1"));
    client.send(server, 6901, packet(TFTP_ERROR, std::string("\x00\x01" "busy", 6)));
    std::optional<Datagram> again = client.receive(2000);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->bytes, dataOf(0, 512));  // the interval's resend, nothing sooner
    EXPECT_GE(again->clockMs - d->clockMs, 50u);  // an interval later, less arrival jitter
    EXPECT_FALSE(other.receive(0));

    client.send(server, 6901, ack(1));
    d = nextBlock(client, 1);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes, dataOf(512, 1024));
    client.send(server, 6901, ack(2));
    d = nextBlock(client, 2);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes, dataOf(1024, 1100));
    client.send(server, 6901, ack(3));

    SessionRecord r = session.finish();
    ASSERT_TRUE(r.ended);
    int w = uploadingWindow(r);
    ASSERT_GT(w, 0);
    std::string W = std::to_string(w);
    EXPECT_EQ(linesStarting(r.lines, "title " + W + " "),
              (std::vector<std::string>{"title " + W + " \"Uploading Target Firmware to ULX@ulx-lab 0/1100 Bytes\"",
                                        "title " + W + " \"Uploading Target Firmware to ULX@ulx-lab 512/1100 Bytes\"",
                                        "title " + W + " \"Uploading Target Firmware to ULX@ulx-lab 1024/1100 Bytes\"",
                                        "title " + W + " \"Uploading Target Firmware to ULX@ulx-lab 1100/1100 Bytes\"",
                                        "title " + W + " \"Updating Target Firmware to ULX@ulx-lab\""}));
    std::vector<std::string> pos = linesStarting(r.lines, "pos " + W + " 1010 ");
    ASSERT_GE(pos.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(pos.begin(), pos.begin() + 4),
              (std::vector<std::string>{"pos " + W + " 1010 1", "pos " + W + " 1010 2", "pos " + W + " 1010 3",
                                        "pos " + W + " 1010 4"}));
    EXPECT_EQ(linesStarting(r.lines, "range " + W + " ")[0], "range " + W + " 1010 0 3");
    EXPECT_EQ(linesStarting(r.lines, "close " + W + " "), std::vector<std::string>{"close " + W + " -"});
    EXPECT_TRUE(r.messages.empty());  // nothing answers on port 80: silence
}

// ---------------------------------------------------------------- verification

enum Answer { PAGE, EMPTY };

struct VerifyCase {
    const char* name;
    int stage;
    int phone;
    Answer answer;
    const char* reported;  // the page's software version; null: no such label
    const char* earlier;   // DeviceInfo's version before the upgrade
    int requests;          // status page requests expected
    bool success;
    const char* message;   // null: none
};

const VerifyCase kVerifyCases[] = {
    {"Match", 1, 0, PAGE, TARGET_VERSION, "3.0.0", 1, true, nullptr},
    {"OldVersion", 1, 0, PAGE, "3.1.6(GWe)", "3.1.6(GWe)", 1, false, NOT_MATCHING},
    {"OtherLetterCase", 1, 0, PAGE, "3.1.7(gwe)", "3.0.0", 1, false, NOT_MATCHING},
    {"NoLabelComparesTheEarlierVersion", 1, 0, PAGE, nullptr, "3.0.0", 1, false, NOT_MATCHING},
    {"PhoneProductIsNotCompared", 1, 1, PAGE, "9.9.9", "3.0.0", 1, true, nullptr},
    {"TransitionMatchShowsNothing", 0, 0, PAGE, TRANSITION_VERSION, "2.0.1", 1, false, nullptr},
    {"TransitionMismatch", 0, 0, PAGE, TARGET_VERSION, "2.0.1", 1, false, NOT_MATCHING},
    {"NoAnswerInTenAttempts", 1, 0, EMPTY, nullptr, "3.0.0", 10, false, nullptr},
};

class TftpVerify : public ::testing::TestWithParam<int> {};

TEST_P(TftpVerify, Outcome) {
    const VerifyCase& c = kVerifyCases[GetParam()];
    const uint32_t server = loopback(4, 100 + 2 * GetParam()), device = loopback(4, 101 + 2 * GetParam());
    std::vector<uint8_t> target = makeImage(700, 3, TARGET_VERSION);
    std::vector<uint8_t> transition = makeImage(600, 4, TRANSITION_VERSION);
    prepareRun(target, dotted(device).c_str(), c.stage, c.phone);
    installImage(&g_transitionImage, transition, TRANSITION_VERSION);
    copyText(g_deviceInfo.softwareVersion, sizeof g_deviceInfo.softwareVersion, c.earlier);

    HttpStub device80;
    ASSERT_TRUE(device80.start(device, 80, c.answer == PAGE ? statusPage(c.reported) : ""));
    SessionServer session;
    ASSERT_TRUE(session.start(server, 6902));
    UdpPeer client;
    ASSERT_TRUE(client.open(device));
    std::optional<std::vector<uint8_t>> got = download(client, server, 6902, "/ulx3.bi1");
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, c.stage ? target : transition);

    SessionRecord r = session.finish();
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(device80.requests(), c.requests);
    EXPECT_EQ(r.successDialog, c.success);
    EXPECT_EQ(r.messages, c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    TargetStage.store(1);
    g_phoneProduct = 0;
}

INSTANTIATE_TEST_SUITE_P(Cases, TftpVerify, ::testing::Range(0, static_cast<int>(std::size(kVerifyCases))),
                         [](const ::testing::TestParamInfo<int>& info) { return kVerifyCases[info.param].name; });

TEST(TftpVerifyWait, FullWaitAcrossTheClockWrapBeforeTheFirstRequest) {
    // The millisecond counter wraps about 2 s into the wait.
    platClockConfigure(20, 4294967295u - 2000u);
    std::vector<uint8_t> image = makeImage(1500, 5);
    const uint32_t server = loopback(4, 20), device = loopback(4, 21);
    prepareRun(image, "127.0.4.21");
    HttpStub device80;
    ASSERT_TRUE(device80.start(device, 80, statusPage(TARGET_VERSION)));
    SessionServer session;
    ASSERT_TRUE(session.start(server, 6903));
    UdpPeer client;
    ASSERT_TRUE(client.open(device));
    ASSERT_TRUE(download(client, server, 6903, "/ulx4.bi1"));
    uint32_t completed = platClockMs();

    SessionRecord r = session.finish();
    ASSERT_TRUE(r.ended);
    EXPECT_TRUE(r.successDialog);
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(device80.requests(), 1);
    // 937 units of 32 ms, less the part of the first unit already gone.
    EXPECT_GE(device80.firstRequestClockMs() - completed, 937u * 32u - 31u);
    EXPECT_LT(device80.firstRequestClockMs() - completed, 40000u);

    // The wait's progress: 0 .. 937, never backwards across the wrap.
    std::string W = std::to_string(uploadingWindow(r));
    auto updating = std::find(r.lines.begin(), r.lines.end(), "title " + W + " \"Updating Target Firmware to ULX@127.0.4.21\"");
    ASSERT_NE(updating, r.lines.end());
    ASSERT_GE(updating - r.lines.begin(), 2);
    EXPECT_EQ(*(updating - 2), "range " + W + " 1010 0 937");
    EXPECT_EQ(*(updating - 1), "pos " + W + " 1010 0");
    int last = -1;
    for (auto it = updating; it != r.lines.end(); ++it) {
        int w, pos;
        if (sscanf(it->c_str(), "pos %d 1010 %d", &w, &pos) == 2 && w == std::stoi(W)) {
            EXPECT_GE(pos, last);
            last = pos;
        }
    }
    EXPECT_GE(last, 937);
    EXPECT_LT(last, 960);
}

}  // namespace
