// The protocol driver on what its use by the other tests would not reveal:
// malformed lines, escapes, quoting, bounded waits, stalled or absent programs.
#include <gtest/gtest.h>

#include "driver/protocol_driver.h"

using namespace ulxtest;

TEST(ProtocolDriver, ParsesEventsAndRejectsMalformedLines) {
    Event e;
    ASSERT_TRUE(parseEvent(R"(text 2 1021 "a\"b\\c\r\nd\t\/\u00e9\ud83d\ude00")", &e));
    EXPECT_EQ(e.text, "a\"b\\c\r\nd\t/\xC3\xA9\xF0\x9F\x98\x80");
    ASSERT_TRUE(parseEvent("place 3 -12 -40 640 480", &e));
    EXPECT_EQ(e.nums, (std::vector<long>{-12, -40, 640, 480}));
    ASSERT_TRUE(parseEvent("range 1 7 0 100", &e));
    EXPECT_EQ(e.nums, (std::vector<long>{0, 100}));
    for (const char* bad : {"", "bogus 1", "open x 139 \"a\"", "title 1 \"open", "pos 1 2", "enable 1 2",
                            "text 1 2 \"a\" extra", "close 1 \"-\"", "exit", "title 1 \"\\q\"", "open 1 139 \"a\"b"}) {
        EXPECT_FALSE(parseEvent(bad, &e)) << bad;
        EXPECT_EQ(e.kind, "");
        EXPECT_EQ(e.raw, bad);
    }
}

TEST(ProtocolDriver, QuotesAndRoundTripsEveryByte) {
    EXPECT_EQ(jsonQuote("a\"b\\\r\n\t\x01"), R"("a\"b\\\r\n\u0009\u0001")");
    std::string all, back;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    ASSERT_TRUE(jsonUnquote(jsonQuote(all), &back));
    EXPECT_EQ(back, all);
    Event e;
    ASSERT_TRUE(parseEvent("title 1 " + jsonQuote(all), &e));
    EXPECT_EQ(e.text, all);
}

TEST(ProtocolDriver, WaitsAreBoundedAndAStalledProgramIsKilled) {
    ScriptProcess p;
    ASSERT_TRUE(p.start("/bin/sh", {"-c", "echo 'open 1 139 \"x\"'; exec sleep 30"}));
    ASSERT_EQ(p.waitOpen(), 1) << p.transcript();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(p.waitEvent("shown", 1, 200));
    EXPECT_EQ(p.waitExit(200), -1);
    EXPECT_EQ(p.wait(200), -1);  // still running: killed
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(p.cursor(), 1u);
}

TEST(ProtocolDriver, EndedOrMissingProgramFailsQuietly) {
    ScriptProcess p, missing;
    ASSERT_TRUE(p.start("/bin/sh", {"-c", "exit 0"}));
    EXPECT_EQ(p.wait(), 0);
    EXPECT_FALSE(p.send("press 1 1"));  // broken pipe: an error, not SIGPIPE
    EXPECT_FALSE(p.waitEvent("exit", -1, 1000));  // output ended: no wait
    EXPECT_TRUE(p.outputEnded());
    EXPECT_FALSE(missing.start("/nonexistent/ulx-program"));
    EXPECT_FALSE(missing.lastError().empty());
    EXPECT_EQ(missing.wait(100), -1);
}
