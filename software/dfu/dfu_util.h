#pragma once

#include "device/fw_info.h"
#include "dfu/scan.h"

#include <QString>
#include <QVersionNumber>

namespace DFU {

namespace dfu_util {

// What dfu-util 0.9, the oldest release supported, prints for "-V", character for character.
extern QString const expected_output_of_execution_test;

QString basename();
// The unpacked program's path in the private temporary directory.
QString full_path();
// What one run of "dfu-util -V" showed.
struct SelfTest {
    Capabilities capabilities;
    bool as_expected = false; // exit 0 and exactly the 0.9 banner (later releases differ, and are supported)
    QVersionNumber version;   // the release the banner names; null when it names none
    bool supported = false;   // exit 0 and a release of 0.9 or later
};
// Runs "dfu-util -V" once, logs both the self-test's result and the release found, and learns from it
// what that dfu-util can do.
SelfTest self_test();
// The release a "dfu-util -V" banner names; null when it names none.
QVersionNumber version_of(QString const& banner);
// The directory of the dfu-util found on the PATH, or an empty text (with a warning) when there is none.
QString system_directory();

} // namespace dfu_util

Device::FW_Info read_FW_Info_from_desired_FW();
// Read once, at the first call, and cached for the rest of the process whatever the result.
Device::FW_Info const& desired_FW_Info();

} // namespace DFU
