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

    operator QString() const;
};

QDebug operator<<(QDebug debug, DeviceInfo const& info);

Device::FW_Info read_FW_Info(DeviceItem const* device);
CommandResult read_device_info(DeviceItem const* device, DeviceInfo* info);

} // namespace DFU
