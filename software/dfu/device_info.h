#pragma once

#include "device/fw_info.h"
#include "device/otp_info.h"
#include "dfu/command.h"
#include "dfu/scan.h"

#include <QDebug>
#include <QString>
#include <cstdint>

namespace DFU {

// Everything read from the attached device. The worker fills it; the flow machine judges it.
struct DeviceInfo {
    bool valid = false;
    QString FW_revision;
    Device::OTP_Info OTP_info;
    Device::FW_Info FW_info;
    uint8_t device_type = 0;
    // Which successful read of the worker produced this record (0: none). A command is bound to it.
    int read_count = 0;
    // The unit that was read; every later command addresses exactly this one.
    DeviceItem unit;

    operator QString() const;
};

QDebug operator<<(QDebug debug, DeviceInfo const& info);

// Reads `size` bytes of the unit with `id` into `path`. Anything but a file of exactly that size is a failed
// read (exit code -1 when dfu-util itself said 0): a short upload is never taken as data. When the file
// cannot be written here (no space, no permission), before or after dfu-util ran, the failure is local
// (see local_failure) and says so instead of blaming the unit.
CommandResult upload_exactly(CmdID id, QStringList const& extra_args, QString const& path, int size,
                             DeviceItem const& device, RunWatch const& watch = {});

// Where and why a read failed on this side, e.g. "/tmp/upgrade_x1Y2z3: No space left on device"; empty when
// the failure, if any, was not local.
QString local_failure(CommandResult const& result);

// Reads and decodes the firmware information block of the unit; an invalid record when the read fails, and
// the run in `result` either way.
Device::FW_Info read_FW_Info(DeviceItem const* device, CommandResult* result);

// Reads the OTP area and the firmware information block; a failure of either fails the whole read.
CommandResult read_device_info(DeviceItem const* device, DeviceInfo* info);

} // namespace DFU
