#pragma once

#include <QDebug>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <vector>

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

// Why a run did not succeed, as far as this side can tell.
enum class Failure {
    none,
    not_started,    // the program could not be started
    local_write,    // its output file could not be written here (no space, no permission)
    unit_not_found, // dfu-util found no unit matching the command: nothing was read or written
    unit_busy,      // the unit is claimed by another program: nothing was read or written
    claim_refused,  // the unit refused to be claimed, and dfu-util (0.9) does not say why: nothing was read
                    // or written; most often another program has it open
    several_units,  // dfu-util found more than one matching unit: nothing was read or written
    leave_failed,   // every byte went through, but the request to leave update mode or its status failed
    short_read,     // fewer bytes came than asked for
    crashed,        // the program was ended by a signal
    timed_out,      // a read or a listing ran too long and was ended
    stopped,        // a read or a listing was ended because the tool stops
    left_running,   // a write left to finish on its own because the tool quits
    other,          // dfu-util failed for another reason (its message says which)
};

QString text_of(Failure failure);
// Whether the unit refused to be claimed, for whatever reason: a wait may mend it.
inline bool refused_claim(Failure failure) {
    return failure == Failure::unit_busy || failure == Failure::claim_refused;
}

struct CommandResult {
    int32_t exit_code = 0; // -1 after a crash, a time-out, or when the program could not be started
    QString output;        // standard output only, decoded as UTF-8
    QString errors;        // standard error: logged and used to explain a failure, never parsed as data
    Failure failure = Failure::none;
    QString local_problem; // with Failure::local_write: the directory that cannot be written, and why

    bool left_running() const { return failure == Failure::left_running; }
};

// What a caller follows while its command runs, and what the command's child keeps.
struct RunWatch {
    // Standard output, piece by piece as dfu-util prints it.
    std::function<void(QByteArray const& more_output)> output;
    // A write only: every still_running_interval_s while it runs, the whole seconds since its start.
    std::function<void(int seconds)> still_running;
    // Descriptors the child inherits; it gets no others besides its standard streams.
    std::vector<int> inherited;
};

// A read or a listing that takes longer than this is ended; a write is waited for as long as it runs.
constexpr int first_wait_ms = 30000;
// How often a write under way is told as still running.
constexpr int still_running_interval_s = 5;

// Asked while a command runs on the calling thread: when `stop` says so, a read or a listing is ended at
// once, while a write is finished first; when `leave` says so, a write is left to finish on its own at once.
void set_stop_checks_for_this_thread(std::function<bool()> stop, std::function<bool()> leave);

CommandResult run_command(CmdID id, QStringList const& extra_args, RunWatch const& watch = {});

// Why dfu-util failed: the last line it wrote to standard error, or that it crashed.
QString last_message(CommandResult const& result);

} // namespace DFU
