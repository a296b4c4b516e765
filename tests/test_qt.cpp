// The Qt backend in process, on Qt's offscreen platform: every template's
// widgets against the dialog-unit conversion, the texts fitting their
// controls, the address entry's rules, and input reaching the owning
// thread's dialog procedure.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextLayout>
#include <QThread>
#include <atomic>
#include <cstdlib>
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

QRect fromUnits(int x, int y, int cx, int cy, BaseUnits b) {
    return QRect((x * b.x + 2) / 4, (y * b.y + 4) / 8, (cx * b.x + 2) / 4, (cy * b.y + 4) / 8);
}

TEST(QtDialogs, FontGivesDialogManagerBaseUnits) {
    app();
    BaseUnits b = baseUnitsOf(dialogFont(findTemplate(IDD_WARNING)));
    EXPECT_GE(b.x, 5);
    EXPECT_LE(b.x, 7);
    EXPECT_GE(b.y, 11);
    EXPECT_LE(b.y, 15);
}

TEST(QtDialogs, EveryTemplateBuildsAsItsTableSays) {
    app();
    for (int t = 0; t < g_templateCount; ++t) {
        const DialogTemplate* tmpl = g_allTemplates[t];
        SCOPED_TRACE(tmpl->id);
        std::unique_ptr<UlxDialog> dlg(buildDialog(tmpl, 1, [](const UserInput&) {}));
        BaseUnits b = baseUnitsOf(dlg->font());
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
            if (c.kind == CTL_BUTTON) {
                auto* button = qobject_cast<QPushButton*>(w);
                ASSERT_TRUE(button);
                EXPECT_EQ(button->text().toStdString(), c.text);
                EXPECT_EQ(button->isDefault(), (c.style & STY_DEFAULT) != 0);
            }
            if (c.kind == CTL_LABEL) {
                EXPECT_EQ(controlText(w), c.text);
            }
            if (c.kind == CTL_ICON) {
                EXPECT_FALSE(qobject_cast<QLabel*>(w)->pixmap().isNull());
            }
            if (c.style & STY_TABSTOP) tabStops.push_back(c.id);
        }
        EXPECT_EQ(tabOrder(dlg.get()), tabStops);
    }
}

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
};

// Every text the program shows fits its control: no line is clipped or
// wrapped in a text area, and every fixed label fits on its lines.
TEST(QtDialogs, TextsFitTheirControls) {
    app();
    for (const Shown& s : shown) {
        SCOPED_TRACE(s.text);
        std::unique_ptr<UlxDialog> dlg(buildDialog(findTemplate(s.tmpl), 1, [](const UserInput&) {}));
        auto* area = qobject_cast<QPlainTextEdit*>(dialogControl(dlg.get(), s.id));
        ASSERT_TRUE(area);
        setControlText(area, s.text);
        EXPECT_EQ(area->toPlainText().indexOf('\r'), -1);
        EXPECT_EQ(controlText(area), s.text);
        QFontMetricsF m(area->font());
        QStringList lines = area->toPlainText().split('\n');
        EXPECT_EQ(area->document()->blockCount(), lines.size());
        EXPECT_LE(lines.size() * m.lineSpacing(), area->height());
        for (const QString& line : lines) EXPECT_LE(m.horizontalAdvance(line), area->width()) << line.toStdString();
    }
    for (int t = 0; t < g_templateCount; ++t) {
        std::unique_ptr<UlxDialog> dlg(buildDialog(g_allTemplates[t], 1, [](const UserInput&) {}));
        if (QWidget* waiting = dialogControl(dlg.get(), IDC_WAITING_TEXT)) setControlText(waiting, WAITING_TEXT);
        for (auto* l : dlg->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (l->text().isEmpty()) continue;
            // Lines as the label breaks them; the last one's glyphs stand
            // above its baseline inside the label.
            int lines = 0;
            for (const QString& paragraph : l->text().split('\n')) {
                QTextLayout layout(paragraph, l->font());
                layout.beginLayout();
                for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
                    line.setLineWidth(l->width());
                    ++lines;
                }
                layout.endLayout();
            }
            QFontMetricsF m(l->font());
            if (!l->text().contains('\n') && m.horizontalAdvance(l->text()) <= l->width()) {
                EXPECT_EQ(lines, 1) << l->text().toStdString();
            }
            EXPECT_LE(lines * m.lineSpacing() - m.leading() - m.descent(), l->height()) << l->text().toStdString();
        }
    }
}

// A picture of every template with its texts, for a person to look at.
TEST(QtDialogs, PicturesOfEveryTemplate) {
    app();
    QDir().mkpath(ULX_SCREENSHOTS);
    for (int t = 0; t < g_templateCount; ++t) {
        std::unique_ptr<UlxDialog> dlg(buildDialog(g_allTemplates[t], 1, [](const UserInput&) {}));
        for (const Shown& s : shown)
            if (s.tmpl == g_allTemplates[t]->id) setControlText(dialogControl(dlg.get(), s.id), s.text);
        if (QWidget* waiting = dialogControl(dlg.get(), IDC_WAITING_TEXT)) setControlText(waiting, WAITING_TEXT);
        QString path = QString("%1/template-%2.png").arg(ULX_SCREENSHOTS).arg(g_allTemplates[t]->id);
        EXPECT_TRUE(dlg->grab().save(path)) << path.toStdString();
    }
}

// Types keys into whatever has the focus, as a person would.
void typeKeys(const QString& keys) {
    for (QChar ch : keys) {
        int key = ch == '\b' ? int(Qt::Key_Backspace) : ch == '.' ? int(Qt::Key_Period) : int(ch.unicode());
        QString text = ch == '\b' ? QString() : QString(ch);
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QApplication::sendEvent(QApplication::focusWidget(), &press);
    }
}

TEST(QtAddressEntry, FollowsTheAddressControlRules) {
    app();
    QWidget window;
    auto* entry = new AddressEntry(&window);
    entry->setGeometry(0, 0, 164, 24);
    window.show();
    QApplication::setActiveWindow(&window);
    EXPECT_EQ(entry->text(), "0.0.0.0");  // empty fields read as 0
    struct Case {
        const char* keys;
        const char* text;
    } cases[] = {
        {"192.168.0.1", "192.168.0.1"},
        {"1921680.1", "192.168.0.1"},  // a third digit moves on
        {"10..1.2.3", "10.1.2.3"},     // '.' in an empty field does nothing
        {"300.1.2.3", "255.1.2.3"},    // more than 255 becomes 255
        {"001.02.3.4", "1.2.3.4"},     // read as numbers
        {"12.3\b\b\b.4.5.6", "1.4.5.6"},  // Backspace in an empty field goes back
        {"1.2", "1.2.0.0"},
        {"a1-2.3", "12.3.0.0"},        // only digits
    };
    for (const Case& c : cases) {
        entry->setText("");
        entry->setFocus();
        ASSERT_TRUE(pumpUntil([&] { return entry->field(0)->hasFocus(); }));
        typeKeys(c.keys);
        entry->field(0)->clearFocus();
        EXPECT_EQ(entry->text(), c.text) << c.keys;
    }
    entry->setText("10.1.0.123");
    EXPECT_EQ(entry->text(), "10.1.0.123");
}

// A dialog run by another thread: its procedure runs on that thread when
// it takes its messages, whatever the user does on the GUI thread.
std::atomic<bool> g_offGuiThread{true};
std::atomic<int> g_commands{0};
int recordingProc(PlatWindow w, int event, int param) {
    if (QThread::currentThread() == app().thread()) g_offGuiThread = false;
    if (event == DLG_INIT) {
        platSetFocus(w, IDC_CANCEL);
        centerWindow(w);
        return 0;
    }
    ++g_commands;
    if (param == IDC_OK || param == IDC_CANCEL) platEndDialog(w, param == IDC_OK ? 1 : 0);
    return 0;
}

UlxDialog* openWindow(const QString& title, int waitMs = 5000) {
    UlxDialog* found = nullptr;
    auto look = [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->windowTitle() == title) found = dynamic_cast<UlxDialog*>(w);
        return found != nullptr;
    };
    if (waitMs) pumpUntil(look);
    else look();
    return found;
}

int runWarning(const std::function<void(UlxDialog*)>& act) {
    std::atomic<int> result{-2};
    std::thread owner([&] { result = platDialogBox(nullptr, findTemplate(IDD_WARNING), recordingProc); });
    UlxDialog* dlg = openWindow("Firmware Upgrade");
    EXPECT_TRUE(dlg);
    if (dlg) {
        QApplication::setActiveWindow(dlg);
        pumpUntil([&] { return dialogControl(dlg, IDC_CANCEL)->hasFocus(); });
        act(dlg);
    }
    pumpUntil([&] { return result != -2; });
    owner.join();
    pumpUntil([] { return !openWindow("Firmware Upgrade", 0); });
    return result;
}

void key(UlxDialog* dlg, int k) {
    QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
    QApplication::sendEvent(QApplication::focusWidget() ? QApplication::focusWidget() : dlg, &press);
}

TEST(QtBackend, InputRunsTheOwnersProcedure) {
    app();
    EXPECT_EQ(runWarning([](UlxDialog* d) { static_cast<QPushButton*>(dialogControl(d, IDC_OK))->click(); }), 1);
    EXPECT_EQ(runWarning([](UlxDialog* d) { key(d, Qt::Key_Return); }), 0);  // focus on Cancel
    EXPECT_EQ(runWarning([](UlxDialog* d) {
                  dialogControl(d, IDC_OK)->setFocus();
                  key(d, Qt::Key_Return);
              }),
              1);  // the focused button
    EXPECT_EQ(runWarning([](UlxDialog* d) { key(d, Qt::Key_Escape); }), 0);
    EXPECT_EQ(runWarning([](UlxDialog* d) { d->close(); }), 0);
    EXPECT_TRUE(g_offGuiThread);
}

TEST(QtBackend, MessageBoxDisablesOnlyItsThreadsWindows) {
    app();
    std::atomic<int> stage{0};
    PlatWindow other = 0;
    std::thread listener([&] {  // a second thread's modeless window
        other = platCreateDialog(nullptr, findTemplate(IDD_WAITING), recordingProc);
        platShowWindow(other);
        stage = 1;
        while (stage != 3) platPeekAndDispatch(0), std::this_thread::sleep_for(std::chrono::milliseconds(1));
        platDestroyWindow(other);
    });
    pumpUntil([&] { return stage == 1; });
    std::thread ui([&] {
        PlatWindow mine = platCreateDialog(nullptr, findTemplate(IDD_CONNECTING), recordingProc);
        platShowWindow(mine);
        reportError("Upgrade Failed: Test");
        platDestroyWindow(mine);
        stage = 2;
    });
    UlxDialog* box = openWindow("ULX Firwmare Upgrade Error");
    ASSERT_TRUE(box);
    UlxDialog* waiting = openWindow("Waiting For Firmware Download Request From ULX");
    UlxDialog* connecting = openWindow("Connecting with ULX");
    ASSERT_TRUE(waiting && connecting);
    EXPECT_TRUE(pumpUntil([&] { return !connecting->isEnabled(); }));
    EXPECT_TRUE(waiting->isEnabled());
    EXPECT_EQ(controlText(dialogControl(box, 0)), "Upgrade Failed: Test");
    static_cast<QPushButton*>(dialogControl(box, IDC_OK))->click();
    EXPECT_TRUE(pumpUntil([&] { return stage == 2; }));
    stage = 3;
    ui.join();
    listener.join();
}

}  // namespace
