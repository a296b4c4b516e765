// The packets as they leave the socket, the transfer session and the
// verification after it, in-process against a scripted client for what real
// clients will not do (127.0.4.1 .. 127.0.4.199).
#include <gtest/gtest.h>

#include "platform/posix/clock_internal.h"
#include "support/clock_phases.h"
#include "support/tftp_harness.h"
#include "support/web_server.h"
#include "web/http.h"

using namespace tftptest;
using namespace ulxtest;

namespace {

const char TARGET_VERSION[] = "3.1.7(GWe)", TRANSITION_VERSION[] = "2.0.13(NTr)";
const char NOT_MATCHING[] = "Upgrade Failed: Version not matching",
           NO_RESPONSE[] = "Upgrade Failed: No Response From ULX";
using Lines = std::vector<std::string>;

void prepareRun(const std::vector<uint8_t>& target, const std::string& deviceText, int stage = 1, int phone = 0) {
    RunSetup& setup = *editRunSetup();
    installImage(&setup.targetImage, target, TARGET_VERSION);
    g_stage.store(static_cast<Stage>(stage));
    setup.phoneProduct = phone != 0;
    copyText(setup.deviceAddressText, sizeof setup.deviceAddressText, deviceText.c_str());
}

// The OACK as it leaves a socket on 127.0.4.1: the shipped image's 25 bytes, then the
// shortest and the longest size. (DATA on the wire: TftpSession.LockStep, TftpClients.)
TEST(TftpPackets, OptionAckOnTheWireAndU16Read) {
    const uint8_t mixed[2] = {0x80, 0x01};
    EXPECT_EQ(readU16BE(mixed), 0x8001);
    UdpPeer receiver;
    ASSERT_TRUE(receiver.open(loopback(4, 2), 6903));
    SockAddrIn local{PLAT_AF_INET, 0, platHtonl(loopback(4, 1))};
    SockAddrIn to{PLAT_AF_INET, platHtons(6903), platHtonl(loopback(4, 2))};
    PlatSocket server = platSocketUdp();
    ASSERT_EQ(platBind(server, &local), 0);
    uint8_t buffer[TFTP_PACKET_SIZE];
    memset(buffer, 0xEE, sizeof buffer);  // leftovers must not leak into a packet
    const std::string shipped = std::string("\0\6tsize", 7) + '\0' + "767148" + '\0' + "timeout" + '\0' + "5" + '\0';
    const std::pair<uint32_t, std::vector<uint8_t>> cases[] = {
        {767148, {shipped.begin(), shipped.end()}}, {0, oack(0)}, {4294967295u, oack(4294967295u)}};
    for (const auto& [size, bytes] : cases) {
        sendOptionAck(server, buffer, &to, size);
        EXPECT_EQ(receiver.receive(2000).value_or(Datagram{}).bytes, bytes) << size;
    }
    platCloseSocket(server);
}

// ---------------------------------------------------------------- session

// The listener's outcomes reach the run one at a time, in order, each with its own version, however
// quickly they follow each other: a second hand-back waits until the first is taken.
TEST(TftpHandBack, OutcomesArriveOnceAndInOrder) {
    using O = TftpOutcome;
    const std::vector<std::pair<O, std::string>> roads[] = {
        {{O::TargetVerified, "3.1.7(GWe)"}},
        {{O::Failed, ""}},
        {{O::TransitionVerified, "2.0.13(NTr)"}, {O::TargetVerified, ""}},
        {{O::TransitionVerified, "2.0.13(NTr)"}, {O::Failed, ""}},
    };
    for (const auto& road : roads) {
        TftpHandBack handBack{};
        std::thread listener([&] {
            for (const auto& [outcome, version] : road) tftpHandBack(&handBack, outcome, version.c_str());
        });
        for (const auto& [outcome, version] : road) {
            char reported[16] = "before";
            EXPECT_EQ(tftpAwaitOutcome(&handBack, reported, sizeof reported), outcome);
            EXPECT_EQ(reported, version);
        }
        listener.join();
    }
}

TEST(TftpSession, UnansweredOptionAckIsSentThirtyTimesOnTheClockEvenUnderAFlood) {
    std::vector<uint8_t> image = makeImage(2000, 1);
    prepareRun(image, "127.0.4.11");
    // Intervals at five times real time: arrival jitter under the flood stays inside the bounds.
    ScopedClockPhases phases("transfer:5,wait:400");
    const uint32_t server = loopback(4, 10), device = loopback(4, 11);
    SessionServer session;
    ASSERT_TRUE(session.start(server, 6900));
    UdpPeer client, stranger;
    ASSERT_TRUE(client.open(device) && stranger.open(device));
    ASSERT_TRUE(client.send(server, 6900, rrq("/ulx1.bi1")));

    // Meanwhile, as fast as they go: the right ACK from the wrong port, stale ACKs and ERRORs
    // from the device. None may shorten an interval or end the session.
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding) {
            stranger.send(server, 6900, ack(0));
            client.send(server, 6900, ack(7));
            client.send(server, 6900, packet(TFTP_ERROR, std::string{'\0', '\1'} + "busy"));
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
    // 100 ms apart on the clock: the median gap and the whole span, not each jittered gap.
    std::sort(gaps.begin(), gaps.end());
    EXPECT_GE(gaps[gaps.size() / 2], 95u);
    EXPECT_LE(gaps[gaps.size() / 2], 150u);
    EXPECT_GE(sent.back().clockMs - sent.front().clockMs, 2800u);

    SessionRecord r = session.finish();
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.messages, Lines{"Upgrade Failed: Firmware Upload Incomplete"});
    EXPECT_FALSE(r.successDialog);
    // The give-up comes an interval after the last OACK, then the full wait.
    EXPECT_GE(r.firstMessageClockMs - sent.back().clockMs, 937u * 32u - 31u);
}

TEST(TftpSession, LockStepTakesOnlyTheAckInFlightFromThePeer) {
    std::vector<uint8_t> image = makeImage(1100, 2);  // blocks of 512, 512 and 76 bytes
    prepareRun(image, "ulx-lab");
    const uint32_t server = loopback(4, 12), device = loopback(4, 13);
    SessionServer session;
    ASSERT_TRUE(session.start(server, 6901));
    UdpPeer client, other;
    ASSERT_TRUE(client.open(device) && other.open(device));
    auto dataOf = [&](size_t from, size_t to) {
        std::vector<uint8_t> p = {0, 3, 0, static_cast<uint8_t>(from / 512 + 1)};
        p.insert(p.end(), image.begin() + static_cast<long>(from), image.begin() + static_cast<long>(to));
        return p;
    };

    // 100 ms intervals of real time: no resend sooner than meant.
    ScopedClockPhases phases("transfer:1,wait:400,verify:200");
    client.send(server, 6901, rrq("/ulx2.bi1"));
    ASSERT_TRUE(client.receive(2000));  // the OACK, as the flood test holds it
    client.send(server, 6901, ack(1));  // a block not sent yet
    client.send(server, 6901, ack(0));  // answers the OACK
    std::optional<Datagram> d = client.receive(2000);
    ASSERT_EQ(d.value_or(Datagram{}).bytes, dataOf(0, 512));

    // None of these acknowledges block 1: ACK 1 from another port; 1- and 3-byte datagrams that
    // would read as ACK 1 if the foreign ACK's bytes before them were taken for theirs; a
    // duplicate ACK 0; a repeated read request; an ERROR.
    other.send(server, 6901, ack(1));
    client.send(server, 6901, {0x00});
    other.send(server, 6901, ack(1));
    client.send(server, 6901, {0x00, 0x04, 0x00});
    client.send(server, 6901, ack(0));
    client.send(server, 6901, rrq("/ulx2.bi1"));
    client.send(server, 6901, packet(TFTP_ERROR, std::string{'\0', '\1'} + "busy"));
    std::optional<Datagram> again = client.receive(2000);
    ASSERT_EQ(again.value_or(Datagram{}).bytes, dataOf(0, 512));  // the interval's resend, nothing sooner
    EXPECT_GE(again->clockMs - d->clockMs, 50u);                  // an interval later, less arrival jitter
    EXPECT_FALSE(other.receive(0));

    for (uint16_t block = 1; block <= 2; ++block) {
        client.send(server, 6901, ack(block));
        do d = client.receive(2000);  // skips resends of the block in flight: the interval's business
        while (d && d->opcode() == TFTP_DATA && d->block() == block);
        ASSERT_EQ(d.value_or(Datagram{}).bytes, dataOf(block * 512u, std::min(block * 512u + 512u, 1100u)));
    }
    client.send(server, 6901, ack(3));

    SessionRecord r = session.finish();
    ASSERT_TRUE(r.ended);
    const std::string up = "\"Uploading Target Firmware to ULX@ulx-lab ";
    EXPECT_EQ(r.of("title"), (Lines{up + "0/1100 Bytes\"", up + "512/1100 Bytes\"", up + "1024/1100 Bytes\"",
                                    up + "1100/1100 Bytes\"", "\"Updating Target Firmware to ULX@ulx-lab\""}));
    Lines pos = r.of("pos");
    pos.resize(std::min<size_t>(pos.size(), 4));
    EXPECT_EQ(pos, (Lines{"1010 1", "1010 2", "1010 3", "1010 4"}));
    EXPECT_EQ(r.of("range").at(0), "1010 0 3");
    EXPECT_EQ(r.of("close"), Lines{"-"});
    // Nothing answers on port 80 of the device: never a silent end.
    EXPECT_EQ(r.messages, Lines{NO_RESPONSE});
}

// The device's first port lost the OACK, and it asks again from a new one: the session follows
// it there at once, until a block is acknowledged; from then on, its port is the transfer's.
TEST(TftpSession, ReadRequestFromANewPortRestartsUntilABlockIsAcknowledged) {
    std::vector<uint8_t> image = makeImage(1100, 5);
    prepareRun(image, "127.0.4.15");
    ScopedClockPhases phases("transfer:1,wait:400,verify:400");
    const uint32_t server = loopback(4, 14), device = loopback(4, 15);
    SessionServer session;
    ASSERT_TRUE(session.start(server, 6904));
    UdpPeer first, second, third;
    ASSERT_TRUE(first.open(device) && second.open(device) && third.open(device));
    ASSERT_TRUE(first.send(server, 6904, rrq("/ulx5.bi1")));
    ASSERT_EQ(first.receive(2000).value_or(Datagram{}).bytes, oack(1100));
    second.send(server, 6904, rrq("/ulx5.bi2"));  // another name: passed over
    second.send(server, 6904, rrq("/ulx5.bi1"));
    std::optional<Datagram> d = second.receive(2000);
    ASSERT_EQ(d.value_or(Datagram{}).bytes, oack(1100));
    EXPECT_FALSE(first.receive(300));  // no resend to the old port
    for (uint16_t block = 0; block <= 3; ++block) {
        if (block == 2) third.send(server, 6904, rrq("/ulx5.bi1"));  // block 1 acknowledged: too late
        second.send(server, 6904, ack(block));
        if (block == 3) break;
        do d = second.receive(2000);
        while (d && d->opcode() != TFTP_DATA);
        ASSERT_EQ(d.value_or(Datagram{}).block(), block + 1);
    }
    EXPECT_FALSE(third.receive(300));
    SessionRecord r = session.finish();
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.of("title").at(3), "\"Uploading Target Firmware to ULX@127.0.4.15 1100/1100 Bytes\"");
    EXPECT_EQ(r.messages, Lines{NO_RESPONSE});  // no web server at the device
}

// ---------------------------------------------------------------- verification

// The device's answers after the restart.
std::string page(const char* version) { return statusPage("HTTP/1.1 200 OK", version); }
const std::string FLASH_ERROR = "HTTP/1.1 500 Flash write failed\r\nContent-Length: 0\r\n\r\n";
const std::string NO_LABELS = "HTTP/1.1 200 OK\r\n\r\n<html><body>Starting, please wait.</body></html>";
const std::string NO_VERSION = page(nullptr);  // every row but the software version

// Each case also holds the full wait before the first status request. The first runs across
// the millisecond clock's wrap and follows the wait's progress; the others skim the wait.
struct VerifyCase {
    const char* name;
    int stage, phone;
    Lines replies;        // the device's answers in order, the last one repeated; "": closed without a byte
    const char* earlier;  // DeviceInfo's version before the upgrade
    size_t requests;      // status page requests expected
    bool success;
    const char* message;          // null: none
    const char* shown = nullptr;  // the success dialog's version (null: not looked at)
};

// clang-format off
const VerifyCase kVerifyCases[] = {
    {"MatchAcrossTheClockWrap", 1, 0, {page(TARGET_VERSION)}, "3.0.0", 1, true, nullptr, TARGET_VERSION},
    {"OtherLetterCase", 1, 0, {page("3.1.7(gwe)")}, "3.0.0", 1, false, NOT_MATCHING},
    {"TransitionMatchShowsNothing", 0, 0, {page(TRANSITION_VERSION)}, "2.0.1", 1, false, nullptr},
    {"TransitionMismatch", 0, 0, {page(TARGET_VERSION)}, "2.0.1", 1, false, NOT_MATCHING},
    // Only a status page is the device's answer: the attempts go on, spaced out.
    {"OnlyAStatusPageCounts", 1, 0, {"", FLASH_ERROR, NO_LABELS, NO_VERSION, page(TARGET_VERSION)}, "3.0.0", 5, true,
     nullptr},
    // The version read before the upgrade matches, and must not be taken.
    {"NoStatusPageIsNoResponse", 1, 0, {NO_VERSION}, TARGET_VERSION, 10, false, NO_RESPONSE},
    {"PhoneProductNeedsAStatusPage", 1, 1, {FLASH_ERROR}, "3.0.0", 10, false, NO_RESPONSE},
    {"PhoneShowsOnlyTheVerifyingPagesVersion", 1, 1, {NO_VERSION}, "3.0.0", 1, true, nullptr, ""},
    // The version from before the delivery: still writing flash, asked again; a third one: at once.
    {"OldVersionUntilRestarted", 1, 0, {page("3.0.0"), page("3.0.0"), page(TARGET_VERSION)}, "3.0.0", 3, true,
     nullptr},
    {"OldVersionToTheEnd", 1, 0, {page("3.0.0"), ""}, "3.0.0", 10, false, NOT_MATCHING},
    {"ThirdVersionAtOnce", 1, 0, {page("3.0.0"), page("3.0.9")}, "3.0.0", 2, false, NOT_MATCHING},
};
// clang-format on

class TftpVerify : public ::testing::TestWithParam<int> {};

TEST_P(TftpVerify, Outcome) {
    const VerifyCase& c = kVerifyCases[GetParam()];
    const bool wrap = GetParam() == 0;
    if (wrap) platClockConfigure(20, 4294967295u - 2000u);  // wraps about 2 s into the wait
    const bool wholeWindow = c.requests == 10;
    // Attempts a few apart run at 10 times real time, so that a connect or an answer that a busy machine delays
    // by a quarter second does not look like attempts back to back.
    ScopedClockPhases phases(wrap          ? ""
                             : wholeWindow ? "transfer:1,wait:400,verify:50"
                                           : "transfer:1,wait:400,verify:10");
    const uint32_t server = loopback(4, 100 + 2 * GetParam()), device = loopback(4, 101 + 2 * GetParam());
    std::vector<uint8_t> target = makeImage(700, 3, TARGET_VERSION), transition = makeImage(600, 4, TRANSITION_VERSION);
    prepareRun(target, dotted(device), c.stage, c.phone);
    installImage(&editRunSetup()->transitionImage, transition, TRANSITION_VERSION);
    copyText(g_webState.device.softwareVersion, sizeof g_webState.device.softwareVersion, c.earlier);
    WebServer device80;
    ASSERT_EQ(device80.start(dotted(device), 80, inOrder({c.replies.begin(), c.replies.end()})), "");
    SessionServer session;
    ASSERT_TRUE(session.start(server, 6902));
    UdpPeer client;
    ASSERT_TRUE(client.open(device));
    std::optional<std::vector<uint8_t>> got = download(client, server, 6902, "/ulx3.bi1");
    uint32_t completed = platClockMs();
    ASSERT_EQ(got, c.stage ? target : transition);

    SessionRecord r = session.finish();
    ASSERT_TRUE(r.ended);
    const std::vector<Request> asked = device80.requests();  // each with platClockMs() at its arrival
    ASSERT_EQ(asked.size(), c.requests);
    EXPECT_EQ(r.successDialog, c.success);
    EXPECT_EQ(r.messages, c.message ? Lines{c.message} : Lines{});
    // 937 units of 32 ms, less the part of the first unit already gone.
    EXPECT_GE(asked[0].clockMs - completed, 937u * 32u - 31u);
    // Attempts 10 s apart, less arrival jitter: on the fast test clock a
    // connect delayed by a busy machine shows up magnified, so only a clear
    // shortening (back-to-back attempts) fails. None begins after the one
    // at 90 s or later.
    for (size_t i = 1; i < asked.size(); ++i) EXPECT_GE(asked[i].clockMs - asked[i - 1].clockMs, 5000u) << i;
    if (wholeWindow) {
        EXPECT_GE(asked.back().clockMs - asked[0].clockMs, 89000u);
        EXPECT_LT(asked.back().clockMs - asked[0].clockMs, 100000u);
        EXPECT_LT(r.firstMessageClockMs - asked.back().clockMs, 10000u);
    }
    if (c.shown) {
        auto success = std::find_if(r.lines.begin(), r.lines.end(), [](auto& l) { return l.find(" 111 ") != l.npos; });
        ASSERT_NE(success, r.lines.end());
        const std::string prefix = "text " + std::to_string(atoi(success->c_str() + 5)) + " 1004 ";
        auto shown = std::find_if(success, r.lines.end(), [&](auto& l) { return l.rfind(prefix, 0) == 0; });
        ASSERT_NE(shown, r.lines.end());
        EXPECT_EQ(*shown, prefix + '"' + c.shown + '"');
    }
    g_stage.store(Stage::Target);
    editRunSetup()->phoneProduct = false;
    if (!wrap) return;
    // The wait ends on time, and its progress runs 0 .. 937, never backwards.
    EXPECT_LT(asked[0].clockMs - completed, 40000u);
    const std::string W = std::to_string(r.uploading);
    auto updating = std::find_if(r.lines.begin(), r.lines.end(),
                                 [&](auto& l) { return l.rfind("title " + W + " \"Updating ", 0) == 0; });
    ASSERT_NE(updating, r.lines.end());
    ASSERT_GE(updating - r.lines.begin(), 2);
    EXPECT_EQ(*(updating - 2), "range " + W + " 1010 0 937");
    EXPECT_EQ(*(updating - 1), "pos " + W + " 1010 0");
    int last = -1, pos;
    for (auto it = updating; it != r.lines.end(); ++it) {
        if (sscanf(it->c_str(), ("pos " + W + " 1010 %d").c_str(), &pos) != 1) continue;
        EXPECT_GE(pos, last);
        last = pos;
    }
    EXPECT_GE(last, 937);
    EXPECT_LT(last, 960);
}

INSTANTIATE_TEST_SUITE_P(Cases, TftpVerify, ::testing::Range(0, static_cast<int>(std::size(kVerifyCases))),
                         [](const ::testing::TestParamInfo<int>& info) { return kVerifyCases[info.param].name; });

}  // namespace
