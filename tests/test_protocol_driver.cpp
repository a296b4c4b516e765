// Tests of the line-protocol test driver itself: event parsing, string
// quoting, and driving a small shell script that plays the program's part.
#include <gtest/gtest.h>

#include <chrono>

#include "driver/protocol_driver.h"

using ulxtest::Event;
using ulxtest::parseEvent;
using ulxtest::ScriptProcess;

TEST(ProtocolDriver, ParsesEvents) {
  Event e;
  ASSERT_TRUE(parseEvent(R"(open 4 msgbox "Error")", &e));
  EXPECT_EQ(e.kind, "open");
  EXPECT_EQ(e.window, 4);
  EXPECT_EQ(e.tmpl, "msgbox");
  EXPECT_EQ(e.text, "Error");

  ASSERT_TRUE(parseEvent(R"(text 2 1021 "a\"b\\c\r\nd\t\/\u00e9\ud83d\ude00")", &e));
  EXPECT_EQ(e.control, 1021);
  EXPECT_EQ(e.text, "a\"b\\c\r\nd\t/\xC3\xA9\xF0\x9F\x98\x80");

  ASSERT_TRUE(parseEvent("place 3 -12 -40 640 480", &e));
  EXPECT_EQ(e.nums, (std::vector<long>{-12, -40, 640, 480}));
  EXPECT_EQ(e.raw, "place 3 -12 -40 640 480");

  ASSERT_TRUE(parseEvent("close 3 -", &e));
  EXPECT_EQ(e.result, "-");
  ASSERT_TRUE(parseEvent("close 3 2", &e));
  EXPECT_EQ(e.result, "2");
  ASSERT_TRUE(parseEvent("range 1 7 0 100", &e));
  EXPECT_EQ(e.nums, (std::vector<long>{0, 100}));
  ASSERT_TRUE(parseEvent("exit 3", &e));
  EXPECT_EQ(e.nums, std::vector<long>{3});

  for (const char* bad : {"", "bogus 1", "open x 139 \"a\"", "title 1 \"open", "pos 1 2",
                          "enable 1 2", "text 1 2 \"a\" extra", "close 1 \"-\"", "exit",
                          "title 1 \"\\q\"", "open 1 139 \"a\"b"}) {
    EXPECT_FALSE(parseEvent(bad, &e)) << bad;
    EXPECT_EQ(e.kind, "");
    EXPECT_EQ(e.raw, bad);
  }
}

TEST(ProtocolDriver, QuotesAndRoundTrips) {
  EXPECT_EQ(ulxtest::jsonQuote("a\"b\\\r\n\t\x01"), R"("a\"b\\\r\n\u0009\u0001")");
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  std::string back;
  ASSERT_TRUE(ulxtest::jsonUnquote(ulxtest::jsonQuote(all), &back));
  EXPECT_EQ(back, all);
  Event e;
  ASSERT_TRUE(parseEvent("title 1 " + ulxtest::jsonQuote(all), &e));
  EXPECT_EQ(e.text, all);
}

TEST(ProtocolDriver, DrivesAScript) {
  ScriptProcess p;
  ASSERT_TRUE(p.start("/bin/sh",
                      {"-c", R"(echo 'open 1 139 "x"'; echo "title 1 \"$ULXTEST_VALUE\"";
                                echo 'shown 1'; read l; echo "error 1 \"$l\"";
                                echo 'open 2 msgbox "Error"'; echo 'text 2 0 "Bad"'; echo 'exit 0')"},
                      {"ULXTEST_VALUE=hello"}))
      << p.lastError();
  const int w = p.waitOpen("139");
  ASSERT_EQ(w, 1) << p.transcript();
  ASSERT_TRUE(p.waitEvent("shown", w)) << p.transcript();
  EXPECT_FALSE(p.waitTitle(w, 50)) << "the title came before the cursor";
  ASSERT_TRUE(p.press(w, 5));
  auto err = p.waitEvent("error", w);
  ASSERT_TRUE(err) << p.transcript();
  EXPECT_EQ(err->text, "press 1 5");
  auto box = p.waitMsgBox();
  ASSERT_TRUE(box) << p.transcript();
  EXPECT_EQ(box->window, 2);
  EXPECT_EQ(box->caption, "Error");
  EXPECT_EQ(box->text, "Bad");
  EXPECT_EQ(p.waitExit(), 0) << p.transcript();
  EXPECT_EQ(p.wait(), 0);
  EXPECT_EQ(p.events().size(), 7u);
  EXPECT_EQ(p.events()[1].text, "hello");
  EXPECT_NE(p.transcript().find("> press 1 5\n"), std::string::npos);
}

TEST(ProtocolDriver, ClosingInputEndsAReadLoop) {
  ScriptProcess p;
  ASSERT_TRUE(p.start("/bin/sh", {"-c", "while read l; do :; done; echo 'exit 4'; exit 4"}));
  ASSERT_TRUE(p.send("key 1 Escape"));
  p.closeInput();
  EXPECT_FALSE(p.send("key 1 Return"));
  EXPECT_EQ(p.waitExit(), 4) << p.transcript();
  EXPECT_EQ(p.wait(), 4);
}

TEST(ProtocolDriver, SendingToAnEndedProgramFailsQuietly) {
  ScriptProcess p;
  ASSERT_TRUE(p.start("/bin/sh", {"-c", "exit 0"}));
  EXPECT_EQ(p.wait(), 0);
  EXPECT_FALSE(p.send("press 1 1"));  // broken pipe: an error, not SIGPIPE
  EXPECT_TRUE(p.waitEvent("exit", -1, 1000) == std::nullopt);  // output ended: no wait
  EXPECT_TRUE(p.outputEnded());
}

TEST(ProtocolDriver, TimesOutAndKills) {
  using namespace std::chrono;
  ScriptProcess p;
  ASSERT_TRUE(p.start("/bin/sh", {"-c", "echo 'open 1 139 \"x\"'; exec sleep 30"}));
  ASSERT_EQ(p.waitOpen(), 1) << p.transcript();
  auto t0 = steady_clock::now();
  EXPECT_FALSE(p.waitEvent("shown", 1, 200));
  EXPECT_EQ(p.waitExit(200), -1);
  EXPECT_EQ(p.wait(200), -1);  // still running: killed
  EXPECT_LT(steady_clock::now() - t0, seconds(3));
  EXPECT_EQ(p.cursor(), 1u);
}

TEST(ProtocolDriver, ReportsStartFailure) {
  ScriptProcess p;
  EXPECT_FALSE(p.start("/nonexistent/ulx-program"));
  EXPECT_FALSE(p.lastError().empty());
  EXPECT_EQ(p.wait(100), -1);
}
