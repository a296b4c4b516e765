// ulx-upgrade-script through its line protocol; the protocol driver on malformed lines,
// quoting, bounded waits, stalled or absent programs.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/headless/protocol.h"
#include "support/person.h"
#include "ui/ui.h"

using namespace ulxtest;

namespace {

// The event a wait found, or an empty one when it timed out.
Event got(const std::optional<Event>& e) { return e.value_or(Event{}); }

// OK refused with an "Error" box over the disabled dialog; closed, the focus back on the address.
void expectRefused(ScriptProcess& p, int a, const std::string& text) {
    auto box = p.waitMsgBox();
    ASSERT_TRUE(box) << p.transcript();
    EXPECT_EQ(box->caption + ": " + box->text, "Error: " + text);
    EXPECT_EQ(got(p.waitEvent("enable", a)).nums, std::vector<long>{0});
    p.press(box->window, 1);
    EXPECT_EQ(got(p.waitEvent("close", box->window)).result, "1");
    EXPECT_EQ(got(p.waitEvent("enable", a)).nums, std::vector<long>{1});
    EXPECT_EQ(got(p.waitEvent("focus", a)).control, 1000);
}

TEST(Script, WalksWarningAddressAndStatusRequest) {
    ScriptProcess p;
    int a = toAddressDialog(p, ULX_TEST_SCRIPT);
    ASSERT_GT(a, 0) << p.transcript();
    p.setCursor(0);  // the warning's texts, place and focus: test_dialogs.cpp
    EXPECT_EQ(got(p.waitEvent("add", a)).control, 1017);
    EXPECT_EQ(got(p.waitEvent("sel", a)).nums, std::vector<long>{0});
    EXPECT_EQ(got(p.waitText(a, 1015)).text, "Version 3.1.7(GWe)");
    EXPECT_EQ(got(p.waitEvent("focus", a)).control, 1000);
    ASSERT_TRUE(p.waitEvent("shown", a));

    // Commands that cannot be carried out change nothing, and open no box.
    const std::string A = std::to_string(a);
    const std::pair<std::string, std::string> cases[] = {
        {"press 99 1", "error 99 \"no such window\""},
        {"press 1 1", "error 1 \"window is closed\""},
        {"press " + A + " 4242", "error " + A + " \"no such control\""},
        {"press " + A + " 1015", "error " + A + " \"control is not a button\""},
        {"type " + A + " 1008 \"x\"", "error " + A + " \"control is not an entry\""},
        {"select " + A + " 1017 50", "error " + A + " \"no such item\""},
        {"jump " + A, "error " + A + " \"bad command\""},
        {"key " + A + " Tab", "error " + A + " \"bad command\""},
    };
    for (const auto& [command, error] : cases) {
        p.send(command);
        EXPECT_EQ(got(p.waitEvent("error")).raw, error) << command << "\n" << p.transcript();
    }
    for (const auto& e : p.events()) EXPECT_NE(e.tmpl, "msgbox") << p.transcript();

    // An address out of range: "Invalid IP Address", owned by the dialog.
    p.type(a, 1000, "1.2.3.256");
    p.press(a, 1);
    expectRefused(p, a, "Invalid IP Address");

    // A good address where no device answers.
    p.type(a, 1000, "127.0.0.9");
    p.select(a, 1017, 0);
    p.key(a, "Return");
    EXPECT_EQ(got(p.waitEvent("close", a)).result, "1");
    auto box = p.waitMsgBox();
    ASSERT_TRUE(box) << p.transcript();
    EXPECT_EQ(box->caption + ": " + box->text, "ULX Firwmare Upgrade Error: Upgrade Failed: No Response From ULX");
    p.key(box->window, "Escape");
    EXPECT_EQ(p.waitExit(), 0) << p.transcript();
    EXPECT_EQ(p.wait(), 0);
}

// No local address (a namespace with no interface up): OK refused.
TEST(Script, NoLocalAddressRefusesOk) {
    if (system("unshare -n true >/dev/null 2>&1") != 0) GTEST_SKIP() << "cannot make a network namespace here";
    ScriptProcess p;
    int a = toAddressDialog(p, "unshare", {"-n", ULX_TEST_SCRIPT});
    ASSERT_GT(a, 0) << p.transcript();
    p.type(a, 1000, "127.0.0.9");
    p.press(a, 1);
    expectRefused(p, a, NO_LOCAL_ADDRESS_TEXT);
    p.key(a, "Escape");  // still open: Cancel ends the run silently
    EXPECT_EQ(got(p.waitEvent("close", a)).result, "0");
    EXPECT_EQ(p.waitExit(), 0) << p.transcript();
    int boxes = 0;
    for (const auto& e : p.events()) {
        EXPECT_NE(e.kind, "add") << p.transcript();
        boxes += e.tmpl == "msgbox";
    }
    EXPECT_EQ(boxes, 1) << p.transcript();
}

TEST(Script, EndOfInputClosesEverything) {
    ScriptProcess p;
    ASSERT_TRUE(p.start(ULX_TEST_SCRIPT));
    p.closeInput();
    EXPECT_EQ(got(p.waitEvent("close", p.waitOpen("139"))).result, "0");
    EXPECT_EQ(p.waitExit(), 0) << p.transcript();

    // A message box over the address dialog gets its OK, then the dialog its close box.
    ScriptProcess q;
    int a = toAddressDialog(q, ULX_TEST_SCRIPT);
    ASSERT_GT(a, 0) << q.transcript();
    q.press(a, 1);  // empty address
    auto box = q.waitMsgBox();
    ASSERT_TRUE(box && q.waitEvent("shown", box->window)) << q.transcript();
    q.closeInput();
    EXPECT_EQ(got(q.waitEvent("close", box->window)).result, "1");
    EXPECT_EQ(got(q.waitEvent("close", a)).result, "0");
    EXPECT_EQ(q.waitExit(), 0) << q.transcript();
}

// Windows-1252 inside, UTF-8 on the protocol, control characters as \u00XX (round trip: fuzz_command).
TEST(ScriptText, Windows1252EventsAndTypedText) {
    const std::pair<const char*, const char*> events[] = {
        {"a\"b\\c\r\n", R"("a\"b\\c\r\n")"},
        {"\t\x01\x1f\x7f", R"("\u0009\u0001\u001f\u007f")"},
        {"\x80\x8a\x9f\xa0\xe9\xff", "\"\u20ac\u0160\u0178\u00a0\u00e9\u00ff\""},
        {"\x81\x8d\x8f\x90\x9d", R"("\u0081\u008d\u008f\u0090\u009d")"},  // undefined: C1 controls
    };
    for (const auto& [text, json] : events) EXPECT_EQ(eventString(text), json) << text;

    // The text, and whether a character the code page lacks was lost (the dialog refuses it).
    const std::tuple<const char*, const char*, bool> typed[] = {
        {R"(type 2 1005 "é€‰\u00e9\u20ac")", "\xe9\x80\x89\xe9\x80", false},
        {R"(type 2 1005 "\ud83d\ude00 😀 \u0101")", "? ? ?", true},  // not in the code page
        {R"(type 2 1005 "?\u003f")", "??", false},                  // a question mark typed
        {"type 2 1005 \"\xe9\x80\"", "\xe9\x80", false},            // not UTF-8: the bytes as they are
        {R"(type 2 1005 "\t\u0009\"\\")", "\t\t\"\\", false},
    };
    for (const auto& [line, text, lost] : typed) {
        QueuedMessage m;
        ASSERT_EQ(parseCommand(line, &m), 1) << line;
        EXPECT_EQ(m.text, text) << line;
        EXPECT_EQ(m.lost, lost) << line;
    }
}

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
        EXPECT_EQ(e.kind + "|" + e.raw, "|" + std::string(bad));
    }
    // Every byte quoted survives the round trip, alone and inside an event.
    EXPECT_EQ(jsonQuote("a\"b\\\r\n\t\x01"), R"("a\"b\\\r\n\u0009\u0001")");
    std::string all, back;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    ASSERT_TRUE(jsonUnquote(jsonQuote(all), &back));
    EXPECT_EQ(back, all);
    ASSERT_TRUE(parseEvent("title 1 " + jsonQuote(all), &e));
    EXPECT_EQ(e.text, all);
}

TEST(ProtocolDriver, BoundedWaitsStalledEndedAndMissingPrograms) {
    ScriptProcess p;
    ASSERT_TRUE(p.start("/bin/sh", {"-c", "echo 'open 1 139 \"x\"'; exec sleep 30"}));
    ASSERT_EQ(p.waitOpen(), 1) << p.transcript();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(p.waitEvent("shown", 1, 200));
    EXPECT_EQ(p.waitExit(200), -1);
    // Another thread's interrupt ends a long wait at once, and one that
    // comes between waits ends the next; the wait after that waits again.
    std::thread interrupter([&p] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        p.interrupt();
    });
    EXPECT_FALSE(p.waitEvent("shown", 1, 60000));
    interrupter.join();
    p.interrupt();
    EXPECT_FALSE(p.waitEvent("shown", 1, 60000));
    EXPECT_FALSE(p.waitEvent("shown", 1, 200));
    EXPECT_EQ(p.wait(200), -1);  // still running: killed
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    EXPECT_EQ(p.cursor(), 1u);

    // An ended or missing program fails quietly.
    ScriptProcess ended, missing;
    ASSERT_TRUE(ended.start("/bin/sh", {"-c", "exit 0"}));
    EXPECT_EQ(ended.wait(), 0);
    EXPECT_FALSE(ended.send("press 1 1"));            // broken pipe: an error, not SIGPIPE
    EXPECT_FALSE(ended.waitEvent("exit", -1, 1000));  // output ended: no wait
    EXPECT_TRUE(ended.outputEnded());
    EXPECT_FALSE(missing.start("/nonexistent/ulx-program"));
    EXPECT_FALSE(missing.lastError().empty());
    EXPECT_EQ(missing.wait(100), -1);
}

}  // namespace
