#include "dfu/device_info.h"

#include "device/service_build.h"
#include "files/files.h"
#include "files/support_misc.h"

#include <QFileInfo>
#include <algorithm>

namespace DFU {

namespace {

// The read lengths of the OTP and firmware information commands in the command table.
constexpr int otp_read_size = 512;
constexpr int info_read_size = 2048;

QString path_in_external_dir(QString const& file_name) {
    return Files::external_dir.path() + "/" + file_name;
}

QString const local_failure_text = "Cannot write into ";

// Probed before dfu-util runs, and again after a failed or short read, with the room the rest would have
// needed: a full disk is told as such, not as a unit that did not answer.
QString local_write_problem_of(QString const& path, int size) {
    return Files::local_write_problem(path, size - std::min<qint64>(size, QFileInfo(path).size()));
}

CommandResult local_failure_result(CommandResult result, QString const& path, QString const& problem) {
    result.exit_code = -1;
    result.failure = Failure::local_write;
    result.local_problem = QFileInfo(path).absolutePath() + ": " + problem;
    result.errors += local_failure_text + result.local_problem + "\n";
    qInfo().noquote() << "Cannot write" << path << "here:" << problem;
    return result;
}

bool firmware_belongs_to_product(DeviceInfo const& info) {
    return info.FW_info.product_info == info.OTP_info.product_info ||
           (info.OTP_info.blank && have_service_build());
}

QString product_mismatch_message(DeviceInfo const& info) {
    return QString("FW assumed invalid because of product type mismatch.") + "\nOTP contains" +
           QString(info.OTP_info.product_info) + "\nwhereas FW contains\n" + QString(info.FW_info);
}

} // namespace

DeviceInfo::operator QString() const {
    QString text = "DeviceInfo:\n";
    if (!valid) {
        return text + "Invalid";
    }
    return text + "\tDevice type:\t" + QString::number(device_type) + "\n" + "\tFW_revision:\t" +
           FW_revision + "\n";
}

QDebug operator<<(QDebug debug, DeviceInfo const& info) {
    QDebugStateSaver saver(debug);
    debug.noquote() << QString(info);
    return debug;
}

CommandResult upload_exactly(CmdID id, QStringList const& extra_args, QString const& path, int size,
                             DeviceItem const& device, RunWatch const& watch) {
    // A file left by an earlier read must never be taken for this one.
    support_misc::ensure_file_is_deleted(path);
    if (QString const problem = local_write_problem_of(path, size); !problem.isEmpty()) {
        return local_failure_result({}, path, problem);
    }
    CommandResult result = run_command(id, extra_args + unit_args(device), watch);
    qint64 const got = QFileInfo(path).size();
    if (result.exit_code == 0 && got == size) {
        return result;
    }
    if (QString const problem = local_write_problem_of(path, size); !problem.isEmpty()) {
        return local_failure_result(result, path, problem);
    }
    if (result.exit_code == 0) {
        result.exit_code = -1;
        result.failure = Failure::short_read;
        result.errors += QString("Short read: %1 of %2 bytes\n").arg(got).arg(size);
        qInfo().noquote() << "Short read from the device:" << got << "of" << size << "bytes into" << path;
    }
    return result;
}

QString local_failure(CommandResult const& result) {
    return result.failure == Failure::local_write ? result.local_problem : QString();
}

Device::FW_Info read_FW_Info(DeviceItem const* device, CommandResult* result) {
    QString const path = path_in_external_dir(Files::uploaded_FW_info_fileName_bin);
    *result = upload_exactly(CmdID::upload_FW_Info, {path}, path, info_read_size, *device);
    return result->exit_code == 0 ? Device::make_FW_Info(path) : Device::FW_Info();
}

CommandResult read_device_info(DeviceItem const* device, DeviceInfo* info) {
    QString const path = path_in_external_dir(Files::uploaded_OTP_fileName_bin);
    CommandResult result = upload_exactly(CmdID::upload_OTP, {path}, path, otp_read_size, *device);
    if (result.exit_code != 0) {
        return result;
    }
    info->unit = *device;
    info->OTP_info = Device::make_OTP_Info(path);
    if (info->OTP_info.blank) {
        qInfo().noquote() << result.output + "OTP is blank.\n";
    }
    info->device_type = static_cast<uint8_t>(info->OTP_info.product_info.type);
    info->valid = true;
    qInfo() << QString(info->OTP_info);

    CommandResult info_read;
    info->FW_info = read_FW_Info(device, &info_read);
    if (info_read.exit_code != 0) {
        info->valid = false;
        return info_read;
    }
    if (firmware_belongs_to_product(*info)) {
        info->FW_revision = info->FW_info.revision;
        qInfo().noquote() << QString(*info);
        qInfo() << info->FW_info;
    } else {
        result.output += product_mismatch_message(*info);
        qInfo().noquote() << result.output;
        info->FW_info.valid = false;
    }
    return result;
}

} // namespace DFU
