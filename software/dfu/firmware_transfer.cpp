#include "dfu/firmware_transfer.h"

#include "dfu/command.h"
#include "files/support_misc.h"

#include <QFile>

namespace DFU {

int download_FW_to_device(QString image_path) {
    return run_command(CmdID::download_FW, {image_path}).exit_code;
}

int upload_FW_from_device(QString file_path, int size) {
    // Deleted first, so that a failed upload can never leave an earlier file behind for the comparison.
    support_misc::ensure_file_is_deleted(file_path);
    QStringList const args = {"-s", QString("0x08000000:%1").arg(size), "-U", file_path};
    return run_command(CmdID::upload_FW, args).exit_code;
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

bool upload_and_compare_FW_bin(QString reference_path, QString upload_path) {
    int const size = size_of_binary_file(reference_path);
    if (size <= 0) {
        return false;
    }
    if (upload_FW_from_device(upload_path, size) != 0) {
        return false;
    }
    return compare_FW_bin_files(reference_path, upload_path);
}

} // namespace DFU
