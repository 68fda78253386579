#include "app/about.h"
#include "app/app.h"
#include "app/exit_codes.h"
#include "dfu/simulator.h"
#include "headless/headless.h"
#include "headless/history_list.h"
#include "headless/unit_list.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// UPDATER_WINDOW_PROGRAM names the window program relative to this program's directory; empty when this
// program's own path is unknown, since a bare name would run whatever the current directory holds.
std::string window_program() {
    char own_path[PATH_MAX];
    ssize_t const length = ::readlink("/proc/self/exe", own_path, sizeof own_path - 1);
    std::string const own = length > 0 ? std::string(own_path, static_cast<size_t>(length)) : std::string();
    if (own.empty() || own[0] != '/')
        return std::string();
    return own.substr(0, own.rfind('/') + 1) + UPDATER_WINDOW_PROGRAM;
}

// The window is a program of its own, so that the runs without a window never load the graphics toolkit;
// it takes this process over with the same command line.
int start_window(char* argv[]) {
    std::string const program = window_program();
    if (program.empty()) {
        std::fprintf(stderr, "%s: cannot start the window program: this program's own path is unknown (%s)\n",
                     argv[0], std::strerror(errno));
        return Exit::cannot_start;
    }
    ::execv(program.c_str(), argv);
    std::fprintf(stderr, "%s: cannot start the window program %s: %s\n", argv[0], program.c_str(),
                 std::strerror(errno));
    return Exit::cannot_start;
}

} // namespace

// Runs without a window here; the window in the window program (window_main.cpp).
int main(int argc, char* argv[]) {
#ifdef UPDATER_INSTALLED_PROGRAM
    simulator::installed_program = true;
#endif
    QCoreApplication::setApplicationName(QFileInfo(QString::fromLocal8Bit(argv[0])).fileName());
    command_line = parse_command_line(arguments_of(argc, argv));
    if (help_or_version_requested()) {
        QCoreApplication app(argc, argv);
        return print_help_or_version();
    }
    if (command_line.list) {
        QCoreApplication app(argc, argv);
        return unit_list::run_unit_list();
    }
    if (command_line.history) {
        QCoreApplication app(argc, argv);
        return run_history_list();
    }
    if (command_line.headless) {
        QCoreApplication app(argc, argv);
        return run_headless();
    }
    return start_window(argv);
}
