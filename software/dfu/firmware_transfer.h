#pragma once

#include <QString>

namespace DFU {

// Writes the raw image to flash from its start and lets the device leave DFU mode; dfu-util's exit code.
int download_FW_to_device(QString image_path);
// Reads `size` bytes of flash from its start into `file_path`; dfu-util's exit code.
int upload_FW_from_device(QString file_path, int size);
// Size in bytes, or -1 when the file cannot be opened.
int size_of_binary_file(QString path);
// True when both files have the same non-zero size and the same bytes.
bool compare_FW_bin_files(QString path_a, QString path_b);
// Reads back as many bytes as the reference image holds and compares them with it.
bool upload_and_compare_FW_bin(QString reference_path, QString upload_path);

} // namespace DFU
