#include "platform/qt/qt_backend.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMetaObject>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>
#include <atomic>
#include <map>
#include <mutex>
#include <utility>

#include "platform/qt/qt_dialogs.h"
#include "platform/window_model/window_model.h"

namespace {

QueuedKind queuedKind(UserInput::Kind k) {
    switch (k) {
        case UserInput::PRESS: return QM_PRESS;
        case UserInput::TYPE: return QM_TYPE;
        case UserInput::SELECT: return QM_SELECT;
        case UserInput::FOCUS: return QM_FOCUS;
        case UserInput::RETURN: return QM_RETURN;
        case UserInput::ESCAPE: return QM_ESCAPE;
        case UserInput::CLOSE: break;
    }
    return QM_CLOSE;
}

class QtWindows : public WindowObserver {
public:
    QtWindows() : gui_(new QObject(qApp)) {
        base_ = baseUnitsOf(dialogFont(nullptr));
        QScreen* screen = QGuiApplication::primaryScreen();
        QRect r = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
        screenWidth_ = r.width();
        screenHeight_ = r.height();
    }

    // Every template uses the dialog font, whose base units are known from
    // the start: sizes can be given from any thread.
    void windowSize(const DialogTemplate* tmpl, int* width, int* height) override {
        *width = dialogUnitsToPixelsX(tmpl->cx, base_);
        *height = dialogUnitsToPixelsY(tmpl->cy, base_);
    }
    void screenSize(int* width, int* height) override {
        *width = screenWidth_;
        *height = screenHeight_;
    }

    void opened(int w, const DialogTemplate* tmpl, const char* caption) override {
        std::string title = caption;
        onGui([this, w, tmpl, title] {
            auto input = [w](const UserInput& in) {
                QueuedMessage m{w, queuedKind(in.kind), in.control, in.number, in.text};
                // Typed text comes as UTF-8 and goes on in code page 1252.
                if (in.kind == UserInput::TYPE) m.text = toCodePage(QString::fromStdString(in.text), &m.lost);
                windowModelInput(std::move(m));
            };
            windows_[w] = tmpl ? buildDialog(tmpl, w, input) : buildMessageBox(w, title.c_str(), input);
            if (w > openedUpTo_) openedUpTo_ = w;
        });
    }
    void titleSet(int w, const char* text) override {
        QString title = fromCodePage(text);
        std::unique_lock<std::mutex> hold(gatherLock_);
        gatheredTitles_[w] = std::move(title);
        postFlushLocked(hold);
    }
    void textSet(int w, int id, const char* text) override {
        onWindow(w, [id, t = std::string(text)](UlxDialog* d) {
            if (id == 0) setMessageBoxText(d, t.c_str());
            else if (QWidget* c = dialogControl(d, id)) setControlText(c, t.c_str());
        });
    }
    void itemAdded(int w, int id, const char* text) override {
        onControl<QComboBox>(w, id, [t = fromCodePage(text)](QComboBox* c) { c->addItem(t); });
    }
    void selectionSet(int w, int id, int index) override {
        onControl<QComboBox>(w, id, [index](QComboBox* c) { c->setCurrentIndex(index); });
    }
    void rangeSet(int w, int id, int low, int high) override {
        onControl<QProgressBar>(w, id, [low, high](QProgressBar* p) { p->setRange(low, high); });
    }
    void positionSet(int w, int id, int pos) override {
        std::unique_lock<std::mutex> hold(gatherLock_);
        gatheredPositions_[{w, id}] = pos;
        postFlushLocked(hold);
    }
    void focusSet(int w, int id) override {
        onWindow(w, [id](UlxDialog* d) {
            if (QWidget* c = dialogControl(d, id)) c->setFocus(Qt::OtherFocusReason);
        });
    }
    void placed(int w, const PlatRect& r) override {
        onWindow(w, [r](UlxDialog* d) {
            d->move(r.left, r.top);
            d->raise();
        });
    }
    void shown(int w) override {
        onWindow(w, [this](UlxDialog* d) {
            // A message box has no place of its own: it opens centred.
            if (dialogControl(d, 0)) d->move((screenWidth_ - d->width()) >> 1, (screenHeight_ - d->height()) >> 1);
            d->show();
            d->raise();
            d->activateWindow();
        });
    }
    void enabled(int w, bool on) override {
        onWindow(w, [on](UlxDialog* d) { d->setEnabled(on); });
    }
    void closed(int w, bool, int) override {
        onGui([this, w] {
            auto it = windows_.find(w);
            if (it == windows_.end()) return;
            it->second->hide();
            it->second->deleteLater();
            windows_.erase(it);
        });
    }
    void error(int, const char*) override {}
    void exiting(int) override {}

private:
    template <class F>
    void onGui(F f) {
        QMetaObject::invokeMethod(gui_, std::move(f), Qt::QueuedConnection);
    }
    template <class F>
    void onWindow(int w, F f) {
        onGui([this, w, f = std::move(f)] {
            auto it = windows_.find(w);
            if (it != windows_.end()) f(it->second);
        });
    }
    template <class C, class F>
    void onControl(int w, int id, F f) {
        onWindow(w, [id, f = std::move(f)](UlxDialog* d) {
            if (auto* c = qobject_cast<C*>(dialogControl(d, id))) f(c);
        });
    }

    // Titles and progress positions change once a block while a transfer
    // runs, far more often than a screen can show: they are gathered here,
    // the latest of each window (and control) winning, and shown on the GUI
    // thread at most once per screen refresh. The thread that sets them
    // takes this short lock and never waits for the GUI thread; the last
    // state is always shown.
    static constexpr int REFRESH_MS = 16;

    // The caller holds gatherLock_ (in hold): one flush is in the GUI
    // thread's queue at a time.
    void postFlushLocked(std::unique_lock<std::mutex>& hold) {
        if (flushPosted_) return;
        flushPosted_ = true;
        hold.unlock();
        onGui([this] { flushWhenDue(); });
    }

    // GUI thread: shows what was gathered, or waits for the next refresh.
    void flushWhenDue() {
        qint64 since = lastFlush_.isValid() ? lastFlush_.elapsed() : REFRESH_MS;
        if (since < REFRESH_MS) {
            QTimer::singleShot(static_cast<int>(REFRESH_MS - since), gui_, [this] { flush(); });
            return;
        }
        flush();
    }

    void flush() {
        std::map<int, QString> titles;
        std::map<std::pair<int, int>, int> positions;
        {
            std::lock_guard<std::mutex> hold(gatherLock_);
            titles.swap(gatheredTitles_);
            positions.swap(gatheredPositions_);
            flushPosted_ = false;
        }
        lastFlush_.start();
        // A window numbered past the last one opened here is still on its
        // way (its opening is queued behind this flush): what it was given
        // waits for the next flush, unless something newer came meanwhile.
        std::map<int, QString> earlyTitles;
        std::map<std::pair<int, int>, int> earlyPositions;
        for (auto& [w, title] : titles) {
            auto it = windows_.find(w);
            if (it != windows_.end()) it->second->setWindowTitle(title);
            else if (w > openedUpTo_) earlyTitles[w] = std::move(title);
        }
        for (const auto& [where, pos] : positions) {
            auto it = windows_.find(where.first);
            if (it == windows_.end()) {
                if (where.first > openedUpTo_) earlyPositions[where] = pos;
                continue;
            }
            if (auto* bar = qobject_cast<QProgressBar*>(dialogControl(it->second, where.second))) bar->setValue(pos);
        }
        if (earlyTitles.empty() && earlyPositions.empty()) return;
        std::unique_lock<std::mutex> hold(gatherLock_);
        gatheredTitles_.merge(earlyTitles);  // keeps what is already there: the newer
        gatheredPositions_.merge(earlyPositions);
        postFlushLocked(hold);
    }

    QObject* gui_;
    BaseUnits base_;
    std::atomic<int> screenWidth_, screenHeight_;
    std::map<int, UlxDialog*> windows_;  // GUI thread only
    QElapsedTimer lastFlush_;            // GUI thread only: when gathered changes were last shown
    int openedUpTo_ = 0;                 // GUI thread only: the highest window number opened
    std::mutex gatherLock_;              // guards the three below
    std::map<int, QString> gatheredTitles_;
    std::map<std::pair<int, int>, int> gatheredPositions_;
    bool flushPosted_ = false;
};

}  // namespace

void qtBackendStart() {
    installDialogFontSubstitution();
    static QtWindows* windows = new QtWindows;  // lives until the process ends
    windowModelStart(windows);
}
