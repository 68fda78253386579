#include "dfu/simulator.h"

#include "dfu/command.h"
#include "dfu/unit_lock.h"

#include <QDebug>
#include <QFileInfo>

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
