#include "dfu/command.h"

#include "dfu/child_process.h"

namespace DFU {

QString Command::path;

Commands commands{
    {CmdID::version, {"dfu-util", {"-V"}}},
    {CmdID::list, {"dfu-util", {"-d", "0483", "-l"}}},
    {CmdID::upload_OTP, {"dfu-util", {"-d", "0483", "-a", "2", "-s", "0x1FFF7800:512", "-U"}}},
    {CmdID::upload_FW_Info, {"dfu-util", {"-d", "0483", "-a", "0", "-s", "0x08000000:2048", "-U"}}},
    {CmdID::upload_FW, {"dfu-util", {"-d", "0483", "-a", "0"}}},
    {CmdID::download_FW, {"dfu-util", {"-d", "0483", "-a", "0", "-s", "0x08000000:leave", "-D"}}},
    {CmdID::setup_prepared_config, {"dfu-util", {}}},
};

Command::operator QString() const {
    return program + "(" + args.join(',') + ")";
}

namespace {

thread_local std::function<bool()> stop_check;
thread_local std::function<bool()> leave_check;

QString program_of(Command const& command) {
    return Command::path.isEmpty() ? command.program : Command::path + "/" + command.program;
}

// Qt cuts a decoded byte array at its first NUL; the output is meant to end there.
QString decode(QByteArray const& bytes) {
    return QString::fromUtf8(bytes);
}

bool is_write(CmdID id) {
    return id == CmdID::download_FW;
}

child_process::Waiting waiting_for(CmdID id, RunWatch const& watch) {
    child_process::Waiting waiting;
    waiting.first_wait_ms = first_wait_ms;
    waiting.may_end = !is_write(id);
    waiting.stop_requested = stop_check;
    waiting.leave_running_now = leave_check;
    waiting.on_slow = [id](QByteArray const& early) {
        qInfo()
            << "waitForFinished(): Process did not finish in time, exit status: still running, and output:"
            << decode(early);
        if (is_write(id))
            qInfo() << "will wait again: a write is waited for as long as it runs";
        else
            qInfo() << "ending it: a read or a listing does not take this long";
    };
    waiting.on_output = watch.output;
    if (is_write(id) && watch.still_running) {
        waiting.tick_ms = still_running_interval_s * 1000;
        waiting.on_tick = [still_running = watch.still_running](qint64 elapsed_ms) {
            still_running(static_cast<int>(elapsed_ms / 1000));
        };
    }
    waiting.inherited = watch.inherited;
    return waiting;
}

int exit_code_of(child_process::Outcome const& outcome) {
    return outcome.end == child_process::End::exited ? outcome.exit_code : -1;
}

// dfu-util 0.9 says only "Cannot claim interface"; later releases add libusb's reason, and a reason other
// than another program holding the unit is told as dfu-util's own message.
Failure claim_failure(QString const& errors) {
    int const at = errors.indexOf("Cannot claim interface");
    if (at < 0)
        return Failure::none;
    QString const rest = errors.mid(at).section('\n', 0, 0);
    if (rest.contains("LIBUSB_ERROR_BUSY"))
        return Failure::unit_busy;
    return rest.contains("LIBUSB_ERROR_") ? Failure::other : Failure::claim_refused;
}

// Read from dfu-util's own words, which are the same in every release from 0.9 on. "File downloaded
// successfully" comes after the last byte and before the request to leave update mode.
Failure failure_of_exit(CommandResult const& result) {
    if (result.errors.contains("No DFU capable USB device available"))
        return Failure::unit_not_found;
    if (result.errors.contains("More than one DFU capable USB device found"))
        return Failure::several_units;
    if (Failure const claim = claim_failure(result.errors); claim != Failure::none)
        return claim;
    if (result.output.contains("File downloaded successfully"))
        return Failure::leave_failed;
    return Failure::other;
}

Failure failure_of(child_process::Outcome const& outcome, CommandResult const& result) {
    switch (outcome.end) {
    case child_process::End::exited:
        return outcome.exit_code == 0 ? Failure::none : failure_of_exit(result);
    case child_process::End::crashed:
        return Failure::crashed;
    case child_process::End::not_started:
        return Failure::not_started;
    case child_process::End::timed_out:
        return Failure::timed_out;
    case child_process::End::ended_by_us:
        return Failure::stopped;
    case child_process::End::left_running:
        return Failure::left_running;
    }
    return Failure::other;
}

void log_outcome(child_process::Outcome const& outcome, CommandResult const& result, QString const& program,
                 QStringList const& args) {
    if (outcome.output_cut)
        qInfo() << "Output of" << program << "cut to its first" << child_process::output_limit << "bytes";
    if (result.left_running())
        qWarning() << program << args << "still runs; it is left to finish on its own";
    if (result.exit_code != 0)
        qInfo() << "Exit with" << result.exit_code << "from" << program << args
                << "returned:" << result.output;
    if (!result.errors.isEmpty() && result.exit_code != 0)
        qInfo().noquote() << "dfu-util's standard error:" << result.errors.trimmed();
}

} // namespace

void set_stop_checks_for_this_thread(std::function<bool()> stop, std::function<bool()> leave) {
    stop_check = std::move(stop);
    leave_check = std::move(leave);
}

CommandResult run_command(CmdID id, QStringList const& extra_args, RunWatch const& watch) {
    const Command command = commands.value(id);
    const QString program = program_of(command);
    const QStringList args = command.args + extra_args;
    // The listing runs every polling cycle; its start line would drown the log.
    if (id != CmdID::list)
        qInfo() << "Start " << program << args;

    child_process::Outcome const outcome = child_process::run(program, args, waiting_for(id, watch));
    CommandResult result;
    result.output = decode(outcome.output);
    result.errors =
        outcome.end == child_process::End::not_started ? "Cannot start " + program : decode(outcome.errors);
    result.exit_code = exit_code_of(outcome);
    result.failure = failure_of(outcome, result);
    log_outcome(outcome, result, program, args);
    return result;
}

QString text_of(Failure failure) {
    switch (failure) {
    case Failure::none:
        return "none";
    case Failure::not_started:
        return "not started";
    case Failure::local_write:
        return "cannot write here";
    case Failure::unit_not_found:
        return "unit not found";
    case Failure::unit_busy:
        return "unit claimed by another program";
    case Failure::claim_refused:
        return "unit refused to be claimed, no reason given";
    case Failure::several_units:
        return "several units";
    case Failure::leave_failed:
        return "leave request failed after a complete download";
    case Failure::short_read:
        return "short read";
    case Failure::crashed:
        return "crashed";
    case Failure::timed_out:
        return "timed out";
    case Failure::stopped:
        return "stopped";
    case Failure::left_running:
        return "left running";
    case Failure::other:
        break;
    }
    return "dfu-util failed";
}

QString last_message(CommandResult const& result) {
    // Its last line then is whatever it printed before it died, often a mere warning, and no reason.
    if (result.failure == Failure::crashed)
        return "dfu-util stopped abruptly: it crashed or was killed";
    QStringList const lines = result.errors.split('\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString("dfu-util ended with exit code %1").arg(result.exit_code)
                           : lines.last().trimmed();
}

} // namespace DFU
