// The dialogs, run in-process through the automation backend.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "control/base/base.h"
#include "platform/refused_entry.h"
#include "support/inprocess.h"
#include "support/person.h"
#include "ui/ui.h"

using ulxtest::InProcessUi;
using ulxtest::jsonQuote;

namespace {

std::string cmd(const char* verb, int w, const std::string& rest = "") {
    return std::string(verb) + " " + std::to_string(w) + (rest.empty() ? "" : " " + rest);
}

TEST(Templates, EveryDialogOnceWithUniqueIdsAndOneDefault) {
    ASSERT_EQ(allTemplates().size(), 10u);
    for (int id : {101, 103, 104, 105, 110, 111, 114, 139, 304, 305}) {
        const DialogTemplate* t = findTemplate(id);
        ASSERT_NE(t, nullptr) << id;
        std::set<int> seen;
        int defaults = 0;
        for (const DialogControl* c = t->controls; c < t->controls + t->controlCount; ++c) {
            EXPECT_TRUE(c->id == -1 || seen.insert(c->id).second) << id << " control " << c->id;
            defaults += (c->style & STY_DEFAULT) != 0;
            EXPECT_LE(c->x + c->cx, t->cx) << id << " control " << c->id;
        }
        EXPECT_LE(defaults, 1) << id;
    }
    EXPECT_EQ(findTemplate(999), nullptr);
}

// A window that centres itself on opening.
int centreProc(PlatWindow w, int event, int, void*) {
    if (event == DLG_INIT) centerWindow(w);
    return 1;
}

TEST(CenterWindow, HalvesByArithmeticShift) {
    InProcessUi ui;
    const std::tuple<int16_t, int16_t, const char*> cases[] = {
        {201, 100, "361 303 301 162"},    // an odd difference rounds down
        {800, 600, "-88 -104 1200 975"},  // wider than the screen: negative
    };
    for (const auto& [cx, cy, place] : cases) {
        DialogTemplate t{900, cx, cy, "probe", "MS Sans Serif", 8, nullptr, 0};
        PlatWindow w = platCreateDialog(&t, centreProc, nullptr);
        ASSERT_GT(w, 0);
        EXPECT_EQ(ui.waitLine(cmd("place", w)), cmd("place", w, place));
        platDestroyWindow(w);
    }
}

TEST(WarningDialog, ReturnRightAfterOpeningIsCancel) {
    InProcessUi ui;
    RunSetup& setup = *editRunSetup();
    copyText(setup.productName, sizeof setup.productName, "ULX-7400");
    int result = -1;
    std::thread t([&] { result = showWarningDialog(); });
    int w = ui.waitOpen("139");
    ASSERT_GT(w, 0);
    EXPECT_EQ(ui.waitLine("title"), cmd("title", w, "\"ULX-7400 Firmware Upgrade\""));
    EXPECT_EQ(ui.waitLine("text"), cmd("text", w, "1021 " + jsonQuote(WARNING_TEXT)));
    EXPECT_EQ(ui.waitLine("focus"), cmd("focus", w, "2"));
    ASSERT_NE(ui.waitLine(cmd("shown", w)), "");
    ui.command(cmd("key", w, "Return"));
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_NE(ui.waitLine(cmd("close", w, "0")), "");
}

// The device's fields: Runner.Road.
TEST(ConfirmDialog, SingleAndTwoStageTemplates) {
    InProcessUi ui;
    memcpy(editRunSetup()->targetImage.header + 92, "3.1.7(GWe)", 11);
    for (int stage : {1, 0}) {
        g_stage.store(static_cast<Stage>(stage));
        int result = -1;
        std::thread t([&] { result = showConfirmDialog(DeviceInfo{}); });
        int w = ui.waitOpen(stage ? "103" : "304");
        ASSERT_GT(w, 0);
        EXPECT_EQ(ui.waitLine("title"), cmd("title", w, "\"Confirm Upgrade to Ver. 3.1.7(GWe)\""));
        if (stage) {  // the Transition stage's note: E2e/Upgrade.Road/TwoStage
            EXPECT_EQ(ui.waitLine(cmd("text", w, "1007")), cmd("text", w, "1007 " + jsonQuote(CONFIRM_TEXT)));
        }
        EXPECT_EQ(ui.waitLine("focus"), cmd("focus", w, "1"));  // the first tab stop: Upgrade
        ASSERT_NE(ui.waitLine(cmd("shown", w)), "");
        ui.command(cmd("key", w, "Return"));
        t.join();
        EXPECT_EQ(result, 1);
    }
    g_stage.store(Stage::Target);
}

TEST(PasswordDialog, PrefillsAdminEveryTimeAndCutsAt126) {
    InProcessUi ui;
    Credentials given{};
    std::string longName(300, 'u');
    for (int round = 0; round < 2; ++round) {
        int result = -1;
        std::thread t([&] { result = showPasswordDialog(&given); });
        int w = ui.waitOpen("104");
        ASSERT_GT(w, 0);
        EXPECT_EQ(ui.waitLine(cmd("text", w, "1003")), cmd("text", w, "1003 \"admin\""));
        EXPECT_EQ(ui.waitLine("focus"), cmd("focus", w, "1005"));
        ASSERT_NE(ui.waitLine(cmd("shown", w)), "");
        if (round == 0) {
            ui.command(cmd("type", w, "1003 \"" + longName + "\""));
            ui.command(cmd("type", w, "1005 \"secret\""));
            ui.command(cmd("key", w, "Return"));  // focus on an entry: the default button OK
        } else {
            // A character the code page lacks: refused with a message, the dialog stays open
            // with the focus back on the password.
            ui.command(cmd("type", w, "1005 \"p\\u0142\""));
            ui.command(cmd("press", w, "1"));
            int box = ui.waitOpen("msgbox");
            ASSERT_GT(box, 0);
            EXPECT_EQ(ui.waitLine(cmd("text", box)), cmd("text", box, "0 " + jsonQuote(REFUSED_PASSWORD_TEXT)));
            ui.command(cmd("press", box, "1"));
            EXPECT_NE(ui.waitLine(cmd("focus", w, "1005")), "");
            ui.command(cmd("type", w, "1005 \"other\""));
            ui.command(cmd("close", w));
        }
        t.join();
        EXPECT_EQ(result, round == 0 ? 1 : 0);
        EXPECT_EQ(std::string(given.userName), longName.substr(0, 126));
        EXPECT_STREQ(given.password, "secret");  // Cancel leaves it
    }
}

TEST(MessageBox, TaskModalDisablesOnlyTheCallingThreadsWindows) {
    InProcessUi ui;
    DialogTemplate t{900, 100, 50, "probe", "MS Sans Serif", 8, nullptr, 0};
    PlatWindow other = 0;
    std::thread([&] { other = platCreateDialog(&t, centreProc, nullptr); }).join();
    std::thread uiThread([&] {
        PlatWindow mine = platCreateDialog(&t, centreProc, nullptr);
        platShowWindow(mine);
        reportError("Upgrade Failed: User Abort");
        platDestroyWindow(mine);
    });
    int box = ui.waitOpen("msgbox");
    ASSERT_GT(box, 0);
    std::string disabled = ui.waitLine("enable");
    EXPECT_NE(disabled, cmd("enable", other, "0"));
    int mine = std::stoi(disabled.substr(7));
    EXPECT_EQ(disabled, cmd("enable", mine, "0"));
    ASSERT_NE(ui.waitLine(cmd("shown", box)), "");
    ui.command(cmd("close", mine));  // a disabled window takes no input
    EXPECT_EQ(ui.waitLine("error"), cmd("error", mine, "\"window is disabled\""));
    ui.command(cmd("press", box, "1"));  // the box closing, mine enabled again: test_script.cpp
    uiThread.join();
    platDestroyWindow(other);
}

// A worker that runs until released, then returns 7.
std::atomic<bool> g_release{false};
int heldWorker(void*) {
    while (!g_release.load()) g_release.wait(false);
    return 7;
}
void releaseWorker() {
    g_release.store(true);
    g_release.notify_all();
}

// The runner's wait: it ends at the worker's end (1), at a message for a window of the calling
// thread, queued before it began or during it (0), else at its limit (0). A message left for a
// window closed meanwhile ends nothing, or the wait would end again and again.
TEST(WaitThreadOrMessage, EndsAtTheWorkersEndAMessageOrTheLimit) {
    enum Event { WORKER_ENDS, MESSAGE_BEFORE, MESSAGE_DURING, NOTHING, MESSAGE_FOR_CLOSED };
    const struct {
        Event event;
        uint32_t limitMs;
        bool ended;
    } rows[] = {
        {WORKER_ENDS, 600000, true}, {MESSAGE_BEFORE, 600000, false},   {MESSAGE_DURING, 600000, false},
        {NOTHING, 2000, false},      {MESSAGE_FOR_CLOSED, 2000, false},
    };
    InProcessUi ui;
    DialogTemplate t{900, 100, 50, "probe", "MS Sans Serif", 8, nullptr, 0};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.event);
        g_release.store(false);
        PlatWindow w = platCreateDialog(&t, centreProc, nullptr);
        ASSERT_NE(w, 0);
        platShowWindow(w);  // a hidden window takes no input
        PlatThreadHandle worker = platStartThread(heldWorker, nullptr);
        ASSERT_NE(worker, nullptr);
        std::thread helper;
        if (row.event == WORKER_ENDS) helper = std::thread(releaseWorker);
        if (row.event == MESSAGE_BEFORE || row.event == MESSAGE_FOR_CLOSED) ui.command(cmd("close", w));
        if (row.event == MESSAGE_DURING) helper = std::thread([&] { ui.command(cmd("close", w)); });
        if (row.event == MESSAGE_FOR_CLOSED) platDestroyWindow(w);

        uint32_t start = platClockMs();
        EXPECT_EQ(platWaitThreadOrMessage(worker, row.limitMs), row.ended);
        uint32_t spent = platClockMs() - start;
        if (row.limitMs < 600000) EXPECT_GE(spent, row.limitMs);
        else EXPECT_LT(spent, 300000u) << "not woken by the event";

        if (helper.joinable()) helper.join();
        releaseWorker();
        while (platPeekAndDispatch(0)) {}
        EXPECT_TRUE(platWaitThreadOrMessage(worker, PLAT_WAIT_FOREVER));
        int value = 0;
        EXPECT_TRUE(platThreadEnded(worker, &value));
        EXPECT_EQ(value, 7);
        platReleaseThread(worker);
        platDestroyWindow(w);
    }
}

}  // namespace
