#pragma once

#include "dfu/command.h"
#include "dfu/scan.h"

#include <QString>

namespace DFU {

// What a read-back tells about the firmware in the unit.
enum class Verification {
    matches,
    differs,
    // The read-back did not complete (dfu-util failed, or fewer bytes came than asked for): nothing is
    // known about the flash.
    unknown,
    // The read-back could not be written here (no space, no permission): nothing is known about the flash,
    // and the unit is not to blame.
    local_failure,
};

// Writes the raw image to the unit's flash from its start and lets the unit leave DFU mode.
CommandResult download_FW_to_device(QString image_path, DeviceItem const& device);
// Reads `size` bytes of flash from its start into `file_path`; a failure unless exactly `size` bytes came.
int upload_FW_from_device(QString file_path, int size, DeviceItem const& device);
// The same, with dfu-util's result (see local_failure for a failure on this side).
CommandResult upload_FW(QString file_path, int size, DeviceItem const& device);
// Size in bytes, or -1 when the file cannot be opened.
int size_of_binary_file(QString path);
// True when both files have the same non-zero size and the same bytes.
bool compare_FW_bin_files(QString path_a, QString path_b);
// Reads back as many bytes as the reference image holds from the unit and compares them with it. After a
// local failure, `local_problem` (when given) says where and why.
Verification upload_and_compare_FW_bin(QString reference_path, QString upload_path, DeviceItem const& device,
                                       QString* local_problem = nullptr);

} // namespace DFU
