#pragma once

#include "device/fw_info.h"

#include <QString>
#include <QVersionNumber>

namespace DFU {

namespace dfu_util {

// What dfu-util 0.9 prints for "-V", character for character.
extern QString const expected_output_of_execution_test;

QString basename();
// The unpacked program's path in the private temporary directory.
QString full_path();
// Runs "dfu-util -V"; true when it exits with 0 and prints exactly the expected text.
bool execution_test();
// The release a "dfu-util -V" banner names; null when it names none.
QVersionNumber version_of(QString const& banner);
// Runs "dfu-util -V" and logs the release found; true when it is 0.9 or later.
bool supported_version_present();
// The directory of the dfu-util found on the PATH, or an empty text (with a warning) when there is none.
QString system_directory();

} // namespace dfu_util

Device::FW_Info read_FW_Info_from_desired_FW();
// Read once, at the first call, and cached for the rest of the process whatever the result.
Device::FW_Info const& desired_FW_Info();

} // namespace DFU
