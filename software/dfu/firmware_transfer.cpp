#include "dfu/firmware_transfer.h"

#include "dfu/device_info.h"

#include <QFile>

namespace DFU {

CommandResult download_FW_to_device(QString image_path, DeviceItem const& device) {
    return run_command(CmdID::download_FW, QStringList{image_path} + unit_args(device));
}

CommandResult upload_FW(QString file_path, int size, DeviceItem const& device) {
    QStringList const args = {"-s", QString("0x08000000:%1").arg(size), "-U", file_path};
    return upload_exactly(CmdID::upload_FW, args, file_path, size, device);
}

int upload_FW_from_device(QString file_path, int size, DeviceItem const& device) {
    return upload_FW(file_path, size, device).exit_code;
}

int size_of_binary_file(QString path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return static_cast<int>(file.size());
}

bool compare_FW_bin_files(QString path_a, QString path_b) {
    int const size_a = size_of_binary_file(path_a);
    if (size_a <= 0 || size_of_binary_file(path_b) != size_a) {
        return false;
    }
    QFile file_a(path_a);
    QFile file_b(path_b);
    if (!file_a.open(QIODevice::ReadOnly) || !file_b.open(QIODevice::ReadOnly)) {
        return false;
    }
    return file_a.readAll() == file_b.readAll();
}

Verification upload_and_compare_FW_bin(QString reference_path, QString upload_path, DeviceItem const& device,
                                       QString* local_problem) {
    int const size = size_of_binary_file(reference_path);
    if (size <= 0) {
        return Verification::unknown;
    }
    CommandResult const upload = upload_FW(upload_path, size, device);
    if (QString const problem = local_failure(upload); !problem.isEmpty()) {
        if (local_problem) {
            *local_problem = problem;
        }
        return Verification::local_failure;
    }
    if (upload.exit_code != 0) {
        return Verification::unknown;
    }
    return compare_FW_bin_files(reference_path, upload_path) ? Verification::matches : Verification::differs;
}

} // namespace DFU
