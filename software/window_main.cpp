#include "app/connections.h"
#include "app/exit_codes.h"
#include "app/narration.h"
#include "app/run_history.h"
#include "app/termination.h"
#include "app/window_start.h"
#include "dfu/simulator.h"

#include <QApplication>
#include <QDebug>
#include <QFileInfo>
#include <QMessageBox>
#include <cstdio>

// The window, started by the program the user runs (main.cpp) in its own process, with its command line.
int main(int argc, char* argv[]) {
#ifdef UPDATER_INSTALLED_PROGRAM
    simulator::installed_program = true;
#endif
    // The command line is judged first, then the display, and only then is anything made.
    QCoreApplication::setApplicationName(QFileInfo(QString::fromLocal8Bit(argv[0])).fileName());
    command_line = parse_command_line(arguments_of(argc, argv));
    if (StartupFailure const failure = command_line.failure) {
        std::fprintf(stderr, "%s\n", failure.message.toUtf8().constData());
        return failure.exit_code();
    }
    // An installation has no emulated device, with or without a display.
    if (command_line.use_simulator && !command_line.no_use_simulator && !simulator::available()) {
        load_texts();
        std::fprintf(stderr, "%s\n", settings.gui.text("hint_noSimulator").toUtf8().constData());
        return Exit::cannot_start;
    }
    if (!display_available()) {
        // Told before the toolkit would abort for want of a display, which would leave files behind.
        load_texts();
        std::fprintf(stderr, "%s\n", settings.gui.text("hint_noDisplay").toUtf8().constData());
        return Exit::cannot_start;
    }
    // Made before the application object and gone after it.
    ToolkitRuntimeDir runtime_dir;
    std::unique_ptr<QApplication> const app = open_platform(argc, argv);
    if (!app)
        return Exit::cannot_start;
    if (StartupFailure const failure = GUI_init()) {
        QMessageBox::critical(nullptr, "Zentova Firmware Upgrade Tool", failure.message);
        return failure.exit_code();
    }
    RunHistory history(sm_A, sm_B);
    history.follow_window(narrator);
    narrator->follow_verdicts();
    // Told in the log, which the log window shows as well.
    history.tell = [](QString const& text) { qWarning().noquote() << text; };
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, stop_on_termination_signal);
    int const loop_result = app->exec();
    history.record_last();
    int const result = GUI_cleanup(loop_result);
    return TerminationSignals::received_signal() ? 128 + TerminationSignals::received_signal() : result;
}
