#include "headless/history_list.h"

#include "app/app.h"
#include "app/exit_codes.h"
#include "history/local.h"
#include "history/reading.h"

#include <QFileInfo>
#include <cstdio>

namespace {

void say(QString const& text) {
    std::fputs((text + "\n").toUtf8().constData(), stderr);
}

} // namespace

// Only reads: the options of a run are checked, nothing is unpacked and no unit is looked at.
int run_history_list() {
    if (command_line.failure) {
        say(command_line.failure.message);
        return command_line.failure.exit_code();
    }
    QString const path = History::local_path();
    // Reading makes nothing: without a history there is nothing to print.
    if (!QFileInfo::exists(path))
        return Exit::firmware_matches;
    History::Local local = History::open_local(path);
    if (!local.set_aside.isEmpty())
        say(QString("The history file %1 was damaged: it was kept as %2 and a new history was started.")
                .arg(path, local.set_aside));
    QString problem;
    // The serial counts in one form everywhere, as the records keep it.
    QString const serial = command_line.options.serial.toUpper();
    bool const printed = History::print_records(&local, serial, command_line.options.json, stdout, &problem);
    History::close_local(&local);
    if (!printed) {
        say("The history cannot be read: " + problem);
        return Exit::private_files_failed;
    }
    return Exit::firmware_matches;
}
