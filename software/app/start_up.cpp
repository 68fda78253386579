#include "app/start_up.h"

#include "app/instance.h"
#include "app/narration.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "dfu/command.h"
#include "dfu/device_info.h"
#include "dfu/dfu_util.h"
#include "dfu/simulator.h"
#include "files/files.h"
#include "files/support_misc.h"
#include "history/image.h"

#include <QDebug>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace start_up {

QString const settings_file = ":resources/settings_GUI.json";

namespace {

// Told as what the user can act on: a name to change, a directory to make, a permission, space.
StartupFailure private_files_failure(int error_number, QString const& cause) {
    // Within a directory that exists (a special file system's) "no such file" says nothing of the directory.
    if ((error_number == ENOENT || error_number == ENOTDIR) && QFileInfo(Files::temporary_root()).isDir())
        error_number = 0;
    QString const id = error_number == EILSEQ                              ? "hint_tmpName"
                       : error_number == ENOENT || error_number == ENOTDIR ? "hint_tmpMissing"
                       : error_number == EACCES || error_number == EPERM || error_number == EROFS
                           ? "hint_tmpReadOnly"
                       : error_number == ENOSPC || error_number == EDQUOT ? "hint_tmpFull"
                                                                          : "hint_privateFiles";
    return {Cause::private_files_failed, settings.gui.text(id).arg(Files::temporary_root(), cause)};
}

} // namespace

void log_device_choice() {
    if (simulator::use)
        qInfo() << "Will use simulator (i.e. option 'use_simulator).";
    else
        qInfo() << "Will use real device (i.e. no option 'use_simulator'.)";
}

StartupFailure set_up_dfu_util_location() {
    if (!simulator::use) {
        DFU::Command::path = DFU::dfu_util::system_directory();
        return {};
    }
    if (!simulator::available())
        return {Cause::cannot_start, settings.gui.text("hint_noSimulator")};
    if (QString const problem = simulator::world_problem(); !problem.isEmpty())
        return {Cause::cannot_start, settings.gui.text("hint_simWorldNotPrivate").arg(problem)};
    simulator::setup_for_simulated_dfu_util(simulator::none);
    return {};
}

void log_build() {
    qInfo() << "Compiled for platform (OS):" << support_misc::compiled_for_platform() << "with 'DEBUG'"
            << (support_misc::compiled_w_DEBUG ? "defined" : "not defined");
}

StartupFailure claim_instance() {
    qint64 holder = 0;
    instance::Claim const claim = instance::claim(run_options.serial, &holder);
    if (claim == instance::Claim::taken)
        return {};
    Cause const cause = cause_of(claim);
    QString const words = settings.gui.text(words_of(cause).hint_id);
    return {cause, cause == Cause::start_reserved_by_other_process
                       ? words.arg(process_words(settings.gui, holder))
                       : words};
}

// One run of "dfu-util -V": the self-test, and the release of the dfu-util that will run. The simulator's
// script answers -V itself, so its release is not judged.
StartupFailure test_dfu_util() {
    DFU::dfu_util::SelfTest const test = DFU::dfu_util::self_test();
    run_options.capabilities = test.capabilities;
    run_options.dfu_util_release = test.version.toString();
    if (test.supported || simulator::use)
        return {};
    return {Cause::no_dfu_util, settings.gui.text(words_of(Cause::no_dfu_util).hint_id)};
}

// Made once the command line is judged, and before anything else may create files below the temporary path.
StartupFailure make_private_dir() {
    if (Files::external_dir.isValid())
        return {};
    return private_files_failure(Files::external_dir.errorNumber(), Files::external_dir.errorString());
}

// dfu-util and libusb come from the system on Linux, so only the firmware is unpacked and nothing needs to
// be made executable; and only the raw image, the one file dfu-util is given (with the flash address, it
// takes no DfuSe container). Without the private directory and a whole image nothing may be written to a
// unit.
StartupFailure unpack_files() {
    using Files::ID;
    Files::remove_stale_private_dirs();
    if (Files::extract_resources({ID::desired_FW_bin}, true))
        return {};
    QString const image = Files::external_dir.path() + "/" + Files::desired_FW_fileName_bin;
    int const error =
        Files::local_write_error(image, QFileInfo(":resources/" + Files::desired_FW_fileName_bin).size());
    return private_files_failure(error, error == 0 ? QString("the firmware image could not be unpacked")
                                                   : QString::fromLocal8Bit(std::strerror(error)));
}

Device::FW_Info read_desired_FW_Info() {
    const Device::FW_Info desired = DFU::desired_FW_Info();
    qInfo().noquote() << "Desired (embedded)" << desired;
    qInfo().noquote() << "Embedded image SHA-256:" << History::image_sha256();
    return desired;
}

void set_desired_FW(Device::FW_Info const& desired) {
    settings.desired_FW_type = desired.product_info.type;
    settings.desired_FW_revision = desired.revision;
}

// The worker reads from and uploads into the private directory the firmware was unpacked to.
void create_engine(bool trace) {
    QString const dir = Files::external_dir.path() + "/";
    sm_A = new SM_A(dir + Files::desired_FW_fileName_dfu, dir + Files::desired_FW_fileName_bin,
                    dir + Files::uploaded_FW_fileName_bin);
    sm_A->idle_delay_ms = 500;
    sm_A->poll_delay_ms = 1000;
    sm_A->serial_filter = run_options.serial;
    sm_A->capabilities = run_options.capabilities;
    if (trace)
        sm_A->enable_debug_output();
    sm_B = new SM_B(sm_A, settings.desired_FW_type, settings.desired_FW_revision);
    if (trace)
        sm_B->enable_debug_output();
    narrator = new Narrator(sm_A, sm_B, settings.gui);
}

} // namespace start_up
