// Entry of ulx-upgrade, the desktop program. The Qt GUI thread is the
// process's main thread and only shows the windows; the core runs on a
// thread of its own, which is the program's user-interface thread: it
// owns its dialogs and runs their procedures when it takes its messages.
#include <QApplication>
#include <cstdlib>
#include <thread>

#include "platform/platform.h"
#include "platform/qt/qt_backend.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);  // between two dialogs no window is open
    qtBackendStart();
    std::thread([] { platExitProcess(runUpgrade()); }).detach();
    // Qt ends the process with exit(1) when the display connection breaks
    // ("The X11 connection broke"). exit() would run static destructors
    // while the user-interface thread still uses what they destroy; this
    // handler, registered after everything the threads share was built,
    // runs before those destructors and ends the process at once instead.
    atexit([] { platExitProcess(1); });
    app.exec();
    platExitProcess(0);
}
