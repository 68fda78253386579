#pragma once

#include "app/app.h"

#include <QString>

namespace Device {
struct FW_Info;
}

// The steps that the window's start-up and the starts without a window share, in the order they run.
namespace start_up {

// The texts and the window's layout.
extern QString const settings_file;

StartupFailure make_private_dir();
StartupFailure claim_instance();
void log_device_choice();
StartupFailure set_up_dfu_util_location();
void log_build();
StartupFailure unpack_files();
// Reads the embedded firmware's information block (once: later calls get the same) and logs it.
Device::FW_Info read_desired_FW_Info();
// The settings take the embedded firmware's product type and revision.
void set_desired_FW(Device::FW_Info const& desired);
StartupFailure test_dfu_util();
// The worker and the flow machine; with `trace`, their debug output.
void create_engine(bool trace);

} // namespace start_up
