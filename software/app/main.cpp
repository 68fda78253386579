#include "app/app.h"
#include "app/headless.h"
#include "app/termination.h"
#include "gui/main_window.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    if (headless_requested(argc, argv)) {
        QCoreApplication app(argc, argv);
        return run_headless();
    }
    QApplication app(argc, argv);
    GUI_init();
    // SIGINT and SIGTERM take the quit key's orderly way out.
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, [] {
        if (mainWindow)
            emit mainWindow->finished();
    });
    int const result = GUI_cleanup(app.exec());
    return TerminationSignals::received_signal() ? 128 + TerminationSignals::received_signal() : result;
}
