#include "dfu/command.h"

#include <QProcess>

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

QString program_of(Command const& command) {
    return Command::path.isEmpty() ? command.program : Command::path + "/" + command.program;
}

// The listing runs every polling cycle, so its start line is written only at a raised verbosity.
void log_start(CmdID id, QString const& program, QStringList const& args) {
    if (id != CmdID::list) {
        qInfo() << "Start " << program << args;
        return;
    }
    bool verbose;
    {
        QDebug probe = qDebug();
        verbose = probe.verbosity() > QDebug::DefaultVerbosity;
    }
    if (verbose)
        qDebug() << "Start " << program << args;
}

// Qt cuts a decoded byte array at its first NUL; the output is meant to end there.
QString decode(QByteArray const& bytes) {
    return QString::fromUtf8(bytes);
}

// Output read at the time-out is logged and kept, so a slow listing is still parsed whole.
QByteArray wait_for(QProcess& process) {
    if (process.waitForFinished(first_wait_ms) || process.error() == QProcess::FailedToStart)
        return {};
    const QByteArray early = process.readAllStandardOutput();
    qInfo() << "waitForFinished(): Process did not finish in time, exit status:" << process.exitStatus()
            << "and output:" << decode(early);
    qInfo() << "will wait again, forever";
    process.waitForFinished(-1);
    return early;
}

} // namespace

CommandResult run_command(CmdID id, QStringList const& extra_args) {
    const Command command = commands[id];
    const QString program = program_of(command);
    const QStringList args = command.args + extra_args;
    log_start(id, program, args);

    QProcess process;
    process.start(program, args, QIODevice::ReadWrite);
    const QByteArray early = wait_for(process);

    CommandResult result;
    result.output = decode(early + process.readAllStandardOutput());
    // A program that could not be started is a failure, never an empty success.
    const bool failed =
        process.error() == QProcess::FailedToStart || process.exitStatus() == QProcess::CrashExit;
    result.exit_code = failed ? -1 : process.exitCode();
    if (result.exit_code != 0)
        qInfo() << "Exit with" << result.exit_code << "from" << program << args
                << "returned:" << result.output;
    return result;
}

} // namespace DFU
