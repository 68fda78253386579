#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>

// Classifies the device listing of dfu-util: no device, one usable device, one that does not look
// right, or several.
class DfuUtilParser {
public:
    // A fixed underlying type: a status read from elsewhere may hold any int.
    enum Status : int {
        no_dfu_device = 0,
        one_dfu_device = 1,
        invalid_dfu_device = 2,
        multiple_dfu_devices = 3,
    };

    // Selects the lines of an STM32 system bootloader in DFU mode; one line per alternate setting.
    static const QString prefix_RE;
    static const QString extract_serial_RE;

    // The bootloader lists four alternate settings: flash, option bytes, OTP area, device feature.
    static constexpr int lines_per_device = 4;

    explicit DfuUtilParser(QString const& listing);

    QString status_as_string() const;

    Status status = no_dfu_device;
    QStringList serials;
    int32_t nr_of_devices = 0;
};

namespace DFU {

struct DeviceItem {
    QString serial;
};

struct ScanResult {
    int32_t error = 1;
    QVector<DeviceItem> devices;
};

ScanResult scan_for_devices(QString listing);
ScanResult make_scan();

} // namespace DFU
