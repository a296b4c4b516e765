// ulx-upgrade-script driven through its line protocol, as a script would.
#include <gtest/gtest.h>

#include <string>

#include "driver/protocol_driver.h"
#include "ui/ui.h"

using ulxtest::Event;
using ulxtest::ScriptProcess;

namespace {

// The event a wait found, or an empty one when it timed out.
Event got(const std::optional<Event>& e) { return e ? *e : Event{}; }

// Starts the program and walks the warning dialog with Continue; returns
// the address dialog's window number.
int toAddressDialog(ScriptProcess& p, const char* program, const char* tmpl = "101") {
    if (!p.start(program)) return -1;
    int w = p.waitOpen("139");
    if (w < 0 || !p.waitEvent("shown", w)) return -1;
    p.press(w, 1);
    if (!p.waitEvent("close", w)) return -1;
    int a = p.waitOpen(tmpl);
    return a >= 0 && p.waitEvent("shown", a) ? a : -1;
}

TEST(Script, WalksWarningAddressAndStatusRequest) {
    ScriptProcess p;
    ASSERT_TRUE(p.start(ULX_SCRIPT)) << p.lastError();
    int w = p.waitOpen("139");
    ASSERT_GT(w, 0) << p.transcript();
    EXPECT_EQ(got(p.waitTitle(w)).text, "ULX-7400 Firmware Upgrade");
    EXPECT_EQ(got(p.waitText(w, 1021)).text, WARNING_TEXT);
    EXPECT_EQ(got(p.waitEvent("focus", w)).control, 2);
    EXPECT_EQ(got(p.waitEvent("place", w)).nums, (std::vector<long>{359, 268, 306, 232}));
    ASSERT_TRUE(p.waitEvent("shown", w));
    p.press(w, 1);
    EXPECT_EQ(got(p.waitEvent("close", w)).result, "1");

    int a = p.waitOpen("101");
    ASSERT_GT(a, 0) << p.transcript();
    auto item = p.waitEvent("add", a);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->control, 1017);
    EXPECT_EQ(got(p.waitEvent("sel", a)).nums, std::vector<long>{0});
    EXPECT_EQ(got(p.waitTitle(a)).text, "ULX-7400 Firmware Upgrade");
    EXPECT_EQ(got(p.waitText(a, 1007)).text, "This program will upgrade your ULX\r\nfirmware to:");
    EXPECT_EQ(got(p.waitText(a, 1008)).text, ADAPTER_INSTRUCTIONS);
    EXPECT_EQ(got(p.waitText(a, 1015)).text, "Version 3.1.7(GWe)");
    EXPECT_EQ(got(p.waitEvent("focus", a)).control, 1000);
    ASSERT_TRUE(p.waitEvent("shown", a));

    // An address out of range: "Invalid IP Address", owned by the dialog.
    p.type(a, 1000, "1.2.3.256");
    p.press(a, 1);
    auto box = p.waitMsgBox();
    ASSERT_TRUE(box) << p.transcript();
    EXPECT_EQ(box->caption, "Error");
    EXPECT_EQ(box->text, "Invalid IP Address");
    EXPECT_EQ(got(p.waitEvent("enable", a)).nums, std::vector<long>{0});
    p.press(box->window, 1);
    EXPECT_EQ(got(p.waitEvent("close", box->window)).result, "1");
    EXPECT_EQ(got(p.waitEvent("enable", a)).nums, std::vector<long>{1});
    EXPECT_EQ(got(p.waitEvent("focus", a)).control, 1000);

    // A good address: no device answers there.
    p.type(a, 1000, "127.0.0.9");
    p.select(a, 1017, 0);
    p.key(a, "Return");
    EXPECT_EQ(got(p.waitEvent("close", a)).result, "1");
    box = p.waitMsgBox();
    ASSERT_TRUE(box) << p.transcript();
    EXPECT_EQ(box->caption, "ULX Firwmare Upgrade Error");
    EXPECT_EQ(box->text, "Upgrade Failed: No Response From ULX");
    p.key(box->window, "Escape");
    EXPECT_EQ(p.waitExit(), 0) << p.transcript();
    EXPECT_EQ(p.wait(), 0);
}

TEST(Script, EndOfInputClosesEverything) {
    ScriptProcess p;
    ASSERT_TRUE(p.start(ULX_SCRIPT));
    p.closeInput();
    int w = p.waitOpen("139");
    EXPECT_EQ(got(p.waitEvent("close", w)).result, "0");
    EXPECT_EQ(p.waitExit(), 0) << p.transcript();

    // With a message box open over the address dialog: the box gets its OK,
    // then the dialog its close box.
    ScriptProcess q;
    int a = toAddressDialog(q, ULX_SCRIPT);
    ASSERT_GT(a, 0) << q.transcript();
    q.press(a, 1);  // empty address
    auto box = q.waitMsgBox();
    ASSERT_TRUE(box);
    ASSERT_TRUE(q.waitEvent("shown", box->window));
    q.closeInput();
    EXPECT_EQ(got(q.waitEvent("close", box->window)).result, "1");
    EXPECT_EQ(got(q.waitEvent("close", a)).result, "0");
    EXPECT_EQ(q.waitExit(), 0) << q.transcript();
}

TEST(Script, CommandsThatCannotBeCarriedOut) {
    ScriptProcess p;
    int a = toAddressDialog(p, ULX_SCRIPT);
    ASSERT_GT(a, 0) << p.transcript();
    struct Case {
        std::string command;
        std::string error;
    } cases[] = {
        {"press 99 1", "error 99 \"no such window\""},
        {"press 1 1", "error 1 \"window is closed\""},
        {"press " + std::to_string(a) + " 4242", "error " + std::to_string(a) + " \"no such control\""},
        {"press " + std::to_string(a) + " 1015", "error " + std::to_string(a) + " \"control is not a button\""},
        {"type " + std::to_string(a) + " 1008 \"x\"", "error " + std::to_string(a) + " \"control is not an entry\""},
        {"select " + std::to_string(a) + " 1017 50", "error " + std::to_string(a) + " \"no such item\""},
        {"jump " + std::to_string(a), "error " + std::to_string(a) + " \"bad command\""},
        {"key " + std::to_string(a) + " Tab", "error " + std::to_string(a) + " \"bad command\""},
    };
    for (const Case& c : cases) {
        p.send(c.command);
        auto e = p.waitEvent("error");
        ASSERT_TRUE(e) << c.command << "\n" << p.transcript();
        EXPECT_EQ(e->raw, c.error) << c.command;
    }
    p.closeWindow(a);  // nothing above changed the dialog: Cancel ends the run silently
    EXPECT_EQ(got(p.waitEvent("close", a)).result, "0");
    EXPECT_EQ(p.waitExit(), 0);
    for (const auto& e : p.events()) EXPECT_NE(e.tmpl, "msgbox") << p.transcript();
}

TEST(Script, OtherProductsAndStages) {
    struct Case {
        const char* program;
        const char* tmpl;
        const char* title;
        const char* instructions;
    } cases[] = {
        {ULX_TEST_PHONE, "305", "ULX-590 Firmware Upgrade", PHONE_INSTRUCTIONS},
        {ULX_TEST_ODM, "101", "ODM-Product Firmware Upgrade", ADAPTER_INSTRUCTIONS},
        {ULX_TEST_TWOSTAGE, "101", "ULX-7400 Firmware Upgrade", ADAPTER_INSTRUCTIONS},
    };
    for (const Case& c : cases) {
        ScriptProcess p;
        int a = toAddressDialog(p, c.program, c.tmpl);
        ASSERT_GT(a, 0) << c.program << "\n" << p.transcript();
        p.setCursor(0);  // look again at what came before "shown"
        EXPECT_EQ(got(p.waitTitle(a)).text, c.title);
        EXPECT_EQ(got(p.waitText(a, 1008)).text, c.instructions);
        p.key(a, "Escape");
        EXPECT_EQ(p.waitExit(), 0) << p.transcript();
    }
}

}  // namespace
