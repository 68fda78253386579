#include "app/about.h"
#include "app/app.h"
#include "app/connections.h"
#include "app/headless.h"
#include "app/termination.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char* argv[]) {
    if (help_or_version_requested(argc, argv)) {
        QCoreApplication app(argc, argv);
        return print_help_or_version();
    }
    if (headless_requested(argc, argv)) {
        QCoreApplication app(argc, argv);
        return run_headless();
    }
    QApplication app(argc, argv);
    if (StartupFailure const failure = GUI_init()) {
        QMessageBox::critical(nullptr, "Zentova Firmware Upgrade Tool", failure.message);
        return failure.exit_code;
    }
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, stop_on_termination_signal);
    int const result = GUI_cleanup(app.exec());
    return TerminationSignals::received_signal() ? 128 + TerminationSignals::received_signal() : result;
}
