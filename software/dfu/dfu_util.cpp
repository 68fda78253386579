#include "dfu/dfu_util.h"

#include "dfu/command.h"
#include "files/files.h"
#include "files/support_misc.h"

#include <QDebug>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QVersionNumber>

namespace DFU {

namespace dfu_util {

QString const expected_output_of_execution_test =
    "dfu-util 0.9\n"
    "\n"
    "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n"
    "Copyright 2010-2016 Tormod Volden and Stefan Schmidt\n"
    "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
    "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n"
    "\n";

QString basename() {
    return Files::dfu_util_executable_fileName;
}

QString full_path() {
    return QString("%1/%2").arg(Files::external_dir.path(), basename());
}

QVersionNumber version_of(QString const& banner) {
    static QRegularExpression const first_line("^dfu-util ([0-9]+(\\.[0-9]+)*)");
    return QVersionNumber::fromString(first_line.match(banner).captured(1));
}

SelfTest self_test() {
    CommandResult const result = run_command(CmdID::version, {});
    QString output = result.output;
    if (support_misc::compiled_for_platform(support_misc::Platform::windows))
        output = support_misc::remove_carriage_returns(output, QChar(13));
    SelfTest test;
    bool const exited_ok = result.exit_code == 0;
    test.as_expected = exited_ok && output == expected_output_of_execution_test;
    test.version = version_of(result.output);
    test.supported = exited_ok && !test.version.isNull() && test.version >= QVersionNumber(0, 9);
    // Unless the release is known to lack it, "-n" is given: a dfu-util without it refuses the command rather
    // than address a unit by less than it was judged by.
    test.capabilities.addresses_by_devnum =
        !exited_ok || test.version.isNull() || test.version >= QVersionNumber(0, 10);
    qInfo().noquote() << "Result of execution test: status was" << (exited_ok ? "ok" : "bad") << "and output:"
                      << (output == expected_output_of_execution_test ? QString("as expected") : output);
    qInfo().noquote() << "Found dfu-util"
                      << (test.version.isNull() ? QString("of unknown version") : test.version.toString())
                      << (test.supported ? "(supported)" : "(0.9 or later is needed)");
    return test;
}

QString system_directory() {
    QString const program = QStandardPaths::findExecutable(basename());
    if (program.isEmpty()) {
        qWarning().noquote() << "No dfu-util found on the PATH; install it (on Debian or Ubuntu: "
                                "sudo apt-get install dfu-util) and start again.";
        return QString();
    }
    qInfo().noquote() << "Using dfu-util" << program;
    return QFileInfo(program).absolutePath();
}

} // namespace dfu_util

Device::FW_Info read_FW_Info_from_desired_FW() {
    QString const path = Files::external_dir.path() + "/" + Files::desired_FW_fileName_bin;
    qDebug() << "Reading desired FW_Info from " << path;
    return Device::make_FW_Info(path);
}

Device::FW_Info const& desired_FW_Info() {
    static Device::FW_Info cache;
    static bool filled = false;
    if (!filled) {
        filled = true;
        cache = read_FW_Info_from_desired_FW();
    }
    return cache;
}

} // namespace DFU
