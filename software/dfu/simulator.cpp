#include "dfu/simulator.h"

#include "dfu/command.h"
#include "dfu/unit_lock.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace simulator {

bool use = false;
bool installed_program = false;

namespace {

QString const script_name = "dfu-util_simulator.sh";

struct ScriptCommand {
    DFU::CmdID id;
    QString configuration;
};

// In the order in which the entries are set up.
QList<ScriptCommand> const script_commands{
    {DFU::CmdID::list, "list"},
    {DFU::CmdID::version, "version"},
    {DFU::CmdID::upload_OTP, "upload_OTP"},
    {DFU::CmdID::upload_FW_Info, "upload_FW"},
    {DFU::CmdID::upload_FW, "upload_FW"},
    {DFU::CmdID::download_FW, "download_FW"},
    {DFU::CmdID::setup_prepared_config, "setup_prepared_config"},
};

QString const& simulator_dir() {
    static QString const dir = QStringLiteral(UPDATER_SIMULATOR_DIR);
    return dir;
}

} // namespace

bool available() {
    return !installed_program && QFileInfo(dfu_util_path(script_name)).isExecutable();
}

void setup_for_simulated_dfu_util(Setup setup) {
    bool const fast = setup & fast_progress;
    for (auto const& entry : script_commands) {
        DFU::Command& command = DFU::commands[entry.id];
        QStringList args{"--dfu-util-command", entry.configuration};
        if (fast)
            args << "--fast-progress";
        command.program = dfu_util_path(script_name);
        command.args = args + command.args;
    }
    // Units of an emulated world are that world's: they never keep a real unit, or another world's, away.
    DFU::unit_lock::set_bus(DFU::unit_lock::simulated_bus());
}

QString default_world() {
    QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (base.isEmpty())
        base = qEnvironmentVariable("TMPDIR");
    if (base.isEmpty())
        base = QStringLiteral("/tmp");
    return QString("%1/dfu-sim-%2").arg(base, QString::number(::getuid()));
}

QString world_problem() {
    if (!qEnvironmentVariableIsEmpty("DFU_SIM_DIR"))
        return QString();
    QByteArray const path = QFile::encodeName(default_world());
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return QString("%1: %2").arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
    struct stat status {};
    QString why;
    if (::lstat(path.constData(), &status) != 0)
        why = QString::fromLocal8Bit(std::strerror(errno));
    else if (S_ISLNK(status.st_mode) || !S_ISDIR(status.st_mode))
        why = "it is not a directory";
    else if (status.st_uid != ::getuid())
        why = "it belongs to another user";
    else if ((status.st_mode & 077) != 0)
        why = "others may enter it";
    return why.isEmpty() ? QString() : QString("%1: %2").arg(QFile::decodeName(path), why);
}

QString dfu_util_path(QString const& file_name) {
    return simulator_dir() + "/" + file_name;
}

int sim_setup_prepared_config(QString const& name) {
    DFU::CommandResult const result = DFU::run_command(DFU::CmdID::setup_prepared_config, {name});
    if (result.exit_code != 0) {
        qInfo() << "Failed to setup simulation config " << name << "with code" << result.exit_code;
        return result.exit_code;
    }
    return 0;
}

} // namespace simulator
