#pragma once

#include <QDebug>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace DFU {

enum class CmdID : int {
    version = 0,
    list = 1,
    upload_OTP = 2,
    upload_FW_Info = 3,
    upload_FW = 4,
    download_FW = 5,
    setup_prepared_config = 6,
};

// One dfu-util command line; the caller's arguments are appended behind `args`.
struct Command {
    QString program;
    QStringList args;

    // When not empty, the directory that holds the program of every command.
    static QString path;

    operator QString() const;
};

using Commands = QMap<CmdID, Command>;

// Filled before main runs; only start-up (the simulator set-up) rewrites entries.
extern Commands commands;

struct CommandResult {
    int32_t exit_code = 0; // -1 after a crash or when the program could not be started
    QString output;        // standard output only, decoded as UTF-8
};

// Waits this long before logging a slow child; the child is then waited for without limit.
constexpr int first_wait_ms = 30000;

CommandResult run_command(CmdID id, QStringList const& extra_args);

} // namespace DFU
