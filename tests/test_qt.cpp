// The Qt backend in process, on Qt's offscreen platform: every template's
// widgets against the dialog-unit conversion, the texts fitting their
// controls, the address entry's rules, and input reaching the owning
// thread's dialog procedure.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>

#include "platform/qt/address_entry.h"
#include "platform/qt/qt_backend.h"
#include "platform/qt/qt_dialogs.h"
#include "ui/ui.h"

namespace {

QApplication& app() {
    static int argc = 1;
    static char name[] = "ulx_qt_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* a = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        auto* created = new QApplication(argc, argv);
        qtBackendStart();
        return created;
    }();
    return *a;
}

// Runs the event loop until done() holds, at most 5 s.
template <class Done>
bool pumpUntil(Done done) {
    for (int i = 0; i < 5000 && !done(); ++i) {
        app().processEvents(QEventLoop::AllEvents, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// A key pressed where the keyboard focus is, as a person would.
void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {}) {
    QWidget* to = QApplication::focusWidget() ? QApplication::focusWidget() : QApplication::activeWindow();
    QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(to, &event);
}

// The id of the control that has the keyboard focus.
int focusedId() {
    for (QObject* o = QApplication::focusWidget(); o; o = o->parent())
        if (QVariant id = o->property("ulxId"); id.isValid()) return id.toInt();
    return -2;
}

QRect fromUnits(int x, int y, int cx, int cy, BaseUnits b) {
    return QRect((x * b.x + 2) / 4, (y * b.y + 4) / 8, (cx * b.x + 2) / 4, (cy * b.y + 4) / 8);
}

// What the program puts into the templates' text areas and labels.
struct Shown {
    int tmpl, id;
    const char* text;
} const shown[] = {
    {IDD_WARNING, IDC_WARNING_TEXT, WARNING_TEXT},
    {IDD_PASSWORD, IDC_TEXT, PASSWORD_TEXT},
    {IDD_CONFIRM, IDC_TEXT, CONFIRM_TEXT},
    {IDD_CONFIRM_TWO_STAGE, IDC_TEXT, CONFIRM_TEXT},
    {IDD_SUCCESS, IDC_TEXT, SUCCESS_TEXT},
    {IDD_ADDRESS, IDC_INSTRUCTIONS, ADAPTER_INSTRUCTIONS},
    {IDD_ADDRESS_PHONE, IDC_INSTRUCTIONS, PHONE_INSTRUCTIONS},
    {IDD_ADDRESS, IDC_TEXT, "This program will upgrade your ULX\r\nfirmware to:"},
    {IDD_ADDRESS_PHONE, IDC_TEXT, "This program will upgrade your ULX\r\nfirmware to:"},
    {IDD_WAITING, IDC_WAITING_TEXT, WAITING_TEXT},
};

// Every template as its table says: sizes and rectangles from dialog
// units, ids, texts, default buttons and tab order; the program's texts fit
// their controls. A picture of each goes to the screenshot folder.
TEST(QtDialogs, EveryTemplateBuildsAsItsTableSays) {
    app();
    QDir().mkpath(ULX_SCREENSHOTS);
    for (const DialogTemplate& t : allTemplates()) {
        const DialogTemplate* tmpl = &t;
        SCOPED_TRACE(tmpl->id);
        std::unique_ptr<UlxDialog> dlg(buildDialog(tmpl, 1, [](const UserInput&) {}));
        BaseUnits b = baseUnitsOf(dlg->font());
        EXPECT_TRUE(b.x >= 5 && b.x <= 7 && b.y >= 11 && b.y <= 15) << b.x << " x " << b.y;  // no wide fallback face
        EXPECT_EQ(dlg->size(), fromUnits(0, 0, tmpl->cx, tmpl->cy, b).size());
        EXPECT_EQ(dlg->windowTitle().toStdString(), tmpl->caption);
        auto children = dlg->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        ASSERT_EQ(children.size(), tmpl->controlCount);
        std::vector<int> tabStops;
        for (int i = 0; i < tmpl->controlCount; ++i) {
            const DialogControl& c = tmpl->controls[i];
            QWidget* w = children[i];
            SCOPED_TRACE(i);
            EXPECT_EQ(w->property("ulxId").toInt(), c.id);
            QRect want = fromUnits(c.x, c.y, c.cx, c.cy, b);
            if (c.kind == CTL_ICON) want.setSize(QSize(32, 32));
            if (c.kind == CTL_COMBO) want.setHeight(w->height());  // closed height; the list drops below
            EXPECT_EQ(w->geometry(), want);
            auto* button = qobject_cast<QPushButton*>(w);
            if (c.kind == CTL_BUTTON) { EXPECT_TRUE(button && button->isDefault() == ((c.style & STY_DEFAULT) != 0)); }
            if (c.kind == CTL_BUTTON || c.kind == CTL_LABEL) { EXPECT_EQ(controlText(w), c.text); }
            if (c.kind == CTL_ICON) { EXPECT_FALSE(qobject_cast<QLabel*>(w)->pixmap().isNull()); }
            if (c.style & STY_TABSTOP) tabStops.push_back(c.id);
        }
        for (const Shown& s : shown) {
            if (s.tmpl != tmpl->id) continue;
            SCOPED_TRACE(s.text);
            setControlText(dialogControl(dlg.get(), s.id), s.text);
            auto* area = qobject_cast<QPlainTextEdit*>(dialogControl(dlg.get(), s.id));
            if (!area) continue;
            EXPECT_EQ(area->toPlainText().indexOf('\r'), -1);
            EXPECT_EQ(controlText(area), s.text);
            QFontMetricsF m(area->font());
            QStringList lines = area->toPlainText().split('\n');
            EXPECT_EQ(area->document()->blockCount(), lines.size());
            EXPECT_LE(lines.size() * m.lineSpacing(), area->height());
            for (const QString& line : lines) EXPECT_LE(m.horizontalAdvance(line), area->width()) << line.toStdString();
        }
        for (auto* l : dlg->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
            // The lines as the label draws them: a text that fits one line keeps
            // to it; the last line's glyphs stand above its baseline inside.
            SCOPED_TRACE(l->text().toStdString());
            QFontMetricsF m(l->font());
            QRectF drawn = m.boundingRect(QRectF(0, 0, l->width(), 1e4), Qt::TextWordWrap | l->alignment(), l->text());
            bool oneLine = !l->text().contains('\n') && m.horizontalAdvance(l->text()) <= l->width();
            if (oneLine) { EXPECT_EQ(drawn.height(), m.height()); }
            EXPECT_LE(drawn.height() - m.descent(), l->height());
        }
        // Tab and Shift+Tab visit the tab stops in template order, the
        // address entry as a whole, left from its last field as after typing.
        dlg->show();
        QApplication::setActiveWindow(dlg.get());
        for (bool forward : {true, false}) {
            dialogControl(dlg.get(), tabStops[0])->setFocus();
            std::vector<int> seen;
            for (size_t i = 0; i < tabStops.size(); ++i) {
                seen.push_back(focusedId());
                if (auto* entry = dynamic_cast<AddressEntry*>(dialogControl(dlg.get(), seen.back())))
                    entry->field(3)->setFocus();
                press(forward ? Qt::Key_Tab : Qt::Key_Backtab, forward ? Qt::NoModifier : Qt::ShiftModifier);
            }
            if (!forward) std::reverse(seen.begin() + 1, seen.end());
            EXPECT_EQ(seen, tabStops) << (forward ? "Tab" : "Shift+Tab");
        }
        EXPECT_TRUE(dlg->grab().save(QString("%1/template-%2.png").arg(ULX_SCREENSHOTS).arg(tmpl->id)));
    }
}

// Device text arrives in Windows-1252: shown as the characters it stands
// for, read back as the same bytes; typed text the code page lacks is '?'.
TEST(QtDialogs, TextsAreWindows1252) {
    app();
    std::unique_ptr<UlxDialog> dlg(buildDialog(findTemplate(IDD_PASSWORD), 1, [](const UserInput&) {}));
    QWidget* user = dialogControl(dlg.get(), IDC_USER);
    const char device[] = "Caf\xe9 \x80 \x93 \x81";
    setControlText(user, device);
    EXPECT_EQ(qobject_cast<QLineEdit*>(user)->text(), QString::fromUtf8("Caf\u00e9 \u20ac \u201c \u0081"));
    EXPECT_EQ(controlText(user), device);
    qobject_cast<QLineEdit*>(user)->setText(QString::fromUtf8("\u00fc\u0142"));
    EXPECT_EQ(controlText(user), "\xfc?");
    bool lost = false;  // what typed text hands on: a '?' typed is no loss, a character the code page lacks is
    EXPECT_EQ(toCodePage(QString::fromUtf8("\u00fc?"), &lost), "\xfc?");
    EXPECT_FALSE(lost);
    EXPECT_EQ(toCodePage(QString::fromUtf8("\u0142"), &lost), "?");
    EXPECT_TRUE(lost);
}

TEST(QtAddressEntry, FollowsTheAddressControlRules) {
    app();
    QWidget window;
    auto* entry = new AddressEntry(&window);
    entry->setGeometry(0, 0, 164, 24);
    window.show();
    QApplication::setActiveWindow(&window);
    struct {
        const char *keys, *text;
    } const cases[] = {
        {"192.168.0.1", "192.168.0.1"},
        {"1921680.1", "192.168.0.1"},     // a third digit moves on
        {"10..1.2.3", "10.1.2.3"},        // '.' in an empty field does nothing
        {"300.1.2.3", "255.1.2.3"},       // more than 255 becomes 255
        {"001.02.3.4", "1.2.3.4"},        // read as numbers
        {"12.3\b\b\b.4.5.6", "1.4.5.6"},  // Backspace in an empty field goes back
        {"1.2", "1.2.0.0"},               // empty fields read as 0
        {"a1-2.3", "12.3.0.0"},           // only digits
    };
    for (const auto& c : cases) {
        entry->setText("");
        entry->setFocus();
        ASSERT_TRUE(pumpUntil([&] { return entry->field(0)->hasFocus(); }));
        for (QChar ch : QString(c.keys)) press(ch == '\b' ? int(Qt::Key_Backspace) : ch.unicode(), Qt::NoModifier, ch);
        entry->field(0)->clearFocus();
        EXPECT_EQ(entry->text(), c.text) << c.keys;
    }
    entry->setText("10.1.0.123");
    EXPECT_EQ(entry->text(), "10.1.0.123");
}

// A dialog run by another thread: its procedure runs on that thread when
// it takes its messages, whatever the user does on the GUI thread. OK ends
// it with the result its context holds, so a context lost on the way to a
// command shows.
std::atomic<bool> g_offGuiThread{true};
int g_okResult = 1;
int recordingProc(PlatWindow w, int event, int param, void* context) {
    if (QThread::currentThread() == app().thread()) g_offGuiThread = false;
    if (event == DLG_INIT) {
        platSetFocus(w, IDC_CANCEL);
        centerWindow(w);
        return 0;
    }
    if (param == IDC_OK || param == IDC_CANCEL) platEndDialog(w, param == IDC_OK ? *static_cast<int*>(context) : 0);
    return 0;
}

// The visible window with the title, once it has opened or (wait false) now.
UlxDialog* openWindow(const QString& title, bool wait = true) {
    auto find = [&]() -> UlxDialog* {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->windowTitle() == title) return dynamic_cast<UlxDialog*>(w);
        return nullptr;
    };
    if (wait) pumpUntil(find);
    return find();
}

TEST(QtBackend, InputRunsTheOwnersProcedure) {
    app();
    struct Road {
        const char* what;
        void (*act)(UlxDialog*);
        int result;
    } const roads[] = {
        {"click Continue", [](UlxDialog* d) { static_cast<QPushButton*>(dialogControl(d, IDC_OK))->click(); }, 1},
        {"Return on Cancel, which has the focus", [](UlxDialog*) { press(Qt::Key_Return); }, 0},
        {"Return on Continue",
         [](UlxDialog* d) {
             dialogControl(d, IDC_OK)->setFocus();
             press(Qt::Key_Return);
         },
         1},
        {"Escape", [](UlxDialog*) { press(Qt::Key_Escape); }, 0},
        {"the close box", [](UlxDialog* d) { d->close(); }, 0},
    };
    for (const Road& road : roads) {
        SCOPED_TRACE(road.what);
        std::atomic<int> result{-2};
        std::thread owner([&] { result = platDialogBox(findTemplate(IDD_WARNING), recordingProc, &g_okResult); });
        UlxDialog* dlg = openWindow("Firmware Upgrade");
        EXPECT_TRUE(dlg);
        if (dlg) {
            QApplication::setActiveWindow(dlg);
            EXPECT_TRUE(pumpUntil([&] { return dialogControl(dlg, IDC_CANCEL)->hasFocus(); }));
            road.act(dlg);
        }
        pumpUntil([&] { return result != -2; });
        owner.join();
        EXPECT_EQ(result, road.result);
        pumpUntil([] { return !openWindow("Firmware Upgrade", false); });
    }
    EXPECT_TRUE(g_offGuiThread);
}

// The window model's disabling shows in the toolkit. Which windows it disables (only the
// calling thread's): MessageBox.TaskModalDisablesOnlyTheCallingThreadsWindows.
TEST(QtBackend, MessageBoxDisablesItsThreadsWindows) {
    app();
    std::atomic<bool> done{false};
    std::thread ui([&] {
        PlatWindow mine = platCreateDialog(findTemplate(IDD_CONNECTING), recordingProc, &g_okResult);
        platShowWindow(mine);
        reportError("Upgrade Failed: Test");
        platDestroyWindow(mine);
        done = true;
    });
    UlxDialog* box = openWindow("ULX Firwmare Upgrade Error");
    UlxDialog* connecting = openWindow("Connecting with ULX");
    ASSERT_TRUE(box && connecting);
    EXPECT_TRUE(pumpUntil([&] { return !connecting->isEnabled(); }));
    EXPECT_EQ(controlText(dialogControl(box, 0)), "Upgrade Failed: Test");
    static_cast<QPushButton*>(dialogControl(box, IDC_OK))->click();
    EXPECT_TRUE(pumpUntil([&] { return done.load(); }));
    ui.join();
}

// A transfer's titles and positions come far faster than a screen shows them: the thread
// that sets them never waits for the GUI thread (which does not run its loop meanwhile),
// and each window ends on its last title and position, the one opened while changes were
// gathered too.
TEST(QtBackend, TitleAndPositionEndOnTheLastOneWithoutWaitingForTheGuiThread) {
    app();
    std::promise<void> setDone, closeNow;
    std::thread owner([&] {
        PlatWindow windows[2] = {};
        for (int n = 0; n < 2; ++n) {
            windows[n] = platCreateDialog(findTemplate(IDD_UPLOADING), recordingProc, &g_okResult);
            platProgressSetRange(windows[n], IDC_PROGRESS, 0, 3000);
            platShowWindow(windows[n]);
            for (int i = 1; i <= 3000; ++i) {
                platProgressSetPos(windows[n], IDC_PROGRESS, i - n);
                platSetWindowText(windows[n], ("Uploading " + std::to_string(n) + " " + std::to_string(i)).c_str());
            }
        }
        setDone.set_value();
        closeNow.get_future().wait();
        for (PlatWindow w : windows) platDestroyWindow(w);
    });
    EXPECT_EQ(setDone.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    for (int n = 0; n < 2; ++n) {
        UlxDialog* dlg = openWindow(QString("Uploading %1 3000").arg(n));
        ASSERT_TRUE(dlg) << n;
        auto* bar = qobject_cast<QProgressBar*>(dialogControl(dlg, IDC_PROGRESS));
        EXPECT_TRUE(bar && pumpUntil([&] { return bar->value() == 3000 - n; })) << n;
    }
    closeNow.set_value();
    owner.join();
    EXPECT_TRUE(pumpUntil([] { return !openWindow("Uploading 1 3000", false); }));
}

}  // namespace
