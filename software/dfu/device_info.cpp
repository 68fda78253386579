#include "dfu/device_info.h"

#include "device/service_build.h"
#include "files/files.h"
#include "files/support_misc.h"

namespace DFU {

namespace {

QString path_in_external_dir(QString const& file_name) {
    return Files::external_dir.path() + "/" + file_name;
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

Device::FW_Info read_FW_Info(DeviceItem const*) {
    QString const path = path_in_external_dir(Files::uploaded_FW_info_fileName_bin);
    // A file left by an earlier device must never be parsed as this device's block.
    support_misc::ensure_file_is_deleted(path);
    if (run_command(CmdID::upload_FW_Info, {path}).exit_code != 0) {
        return Device::FW_Info();
    }
    return Device::make_FW_Info(path);
}

CommandResult read_device_info(DeviceItem const* device, DeviceInfo* info) {
    QString const path = path_in_external_dir(Files::uploaded_OTP_fileName_bin);
    support_misc::ensure_file_is_deleted(path);
    CommandResult result = run_command(CmdID::upload_OTP, {path});
    if (result.exit_code != 0) {
        return result;
    }
    info->OTP_info = Device::make_OTP_Info(path);
    if (info->OTP_info.blank) {
        qInfo().noquote() << result.output + "OTP is blank.\n";
    }
    info->device_type = static_cast<uint8_t>(info->OTP_info.product_info.type);
    info->valid = true;
    qInfo() << QString(info->OTP_info);

    info->FW_info = read_FW_Info(device);
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
