#pragma once

#include "dfu/command.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>

namespace DFU {

// What the dfu-util in use can do, as its self-test found it; passed to every scan, whose units carry it to
// the command lines that address them.
struct Capabilities {
    // It takes "-n", the device address, as releases from 0.10 do; true unless a self-test named an
    // earlier release.
    bool addresses_by_devnum = true;
};

// One bootloader as a listing names it. Every command after the listing addresses it by all three (or is
// preceded by a listing that shows all three unchanged), so a unit swapped in meanwhile, even one with the
// same serial in the same port, is never read or written.
struct DeviceItem {
    // Empty when the listing shows none that names this unit and no other: dfu-util prints the serial as
    // the unit gives it, so a '"' in it (or in the name before it) makes the line read as another serial, a
    // line break cuts it, characters beyond ASCII become '?' (0.11 keeps those of Latin-1, as single bytes),
    // and "UNKNOWN" stands for none. An STM32 system bootloader's serial is hexadecimal; any other is taken
    // as unreadable.
    QString serial;
    QString path;   // USB bus and port numbers, e.g. "1-1.2"
    QString devnum; // the device address, new at every enumeration
    // The serial's text as the listing shows it, to its last character, even when it cannot name the unit:
    // for words that help a person find the unit. Never used to address it.
    QString listed_serial{};
    // Whether the dfu-util that listed it takes the device address (see Capabilities); when not, a listing
    // right before and after each command must show the unit with its address unchanged.
    bool by_devnum = true;

    bool serial_readable() const { return !serial.isEmpty(); }

    bool same_unit(DeviceItem const& other) const { return serial == other.serial && path == other.path; }
    bool operator==(DeviceItem const& other) const { return same_unit(other) && devnum == other.devnum; }
};

// dfu-util's options that address this unit: serial and path, and the device address where the dfu-util in
// use takes it (by_devnum). Without the address a unit re-enumerated in the same port passes (see
// listed_as_judged).
QStringList unit_args(DeviceItem const& device);
// Lists the units and tells whether `device` is there with its device address unchanged: when a unit is
// addressed without its device address, this is asked right before it is written.
bool listed_as_judged(DeviceItem const& device);

} // namespace DFU

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

    // The bootloader lists four alternate settings: flash, option bytes, OTP area, device feature.
    static constexpr int lines_per_device = 4;

    // With `only_serial`, the lines of bootloaders with another serial are passed over, as if those units
    // were not attached (compared without regard to case).
    explicit DfuUtilParser(QString const& listing, QString const& only_serial = QString());

    QString status_as_string() const;

    Status status = no_dfu_device;
    QStringList serials;
    // One entry per bootloader, in listing order; consecutive lines with the same serial, path and device
    // address belong to one.
    QVector<DFU::DeviceItem> units;
    // Bootloaders without a serial that names them alone (see DeviceItem::serial): no command can name
    // them, so they are never read, written or reserved; only they are affected. Empty serial; path, device
    // address and listed_serial as listed. Without `only_serial` they count as attached units.
    QVector<DFU::DeviceItem> unidentified;
    // With `only_serial`: how many such bootloaders were passed over, since any of them may be the one asked
    // for.
    int unidentified_passed_over = 0;
    int32_t nr_of_devices = 0;
};

namespace DFU {

struct ScanResult {
    int32_t error = 1;
    QVector<DeviceItem> devices;
    // Units listed without a readable serial (see DfuUtilParser::unidentified).
    QVector<DeviceItem> unidentified;
    // With a serial asked for: how many units without a readable serial were passed over (any of them may
    // be the one asked for).
    int unidentified_passed_over = 0;
    // With a serial asked for and no unit with it: the serials of the units that were passed over.
    QStringList passed_over;
    // Why the listing itself failed, if it did.
    Failure listing_failure = Failure::none;
};

ScanResult scan_for_devices(QString listing, QString const& only_serial = QString(),
                            Capabilities capabilities = {});
// The bootloaders that a listing's standard error says this user may not open, by device address (empty
// where dfu-util names none, as 0.9 does, which names no reason either).
QStringList addresses_without_access(QString const& listing_errors);
ScanResult make_scan();
// The same, and dfu-util's standard error of the listing, which tells why a present bootloader was not
// listed (for example no permission to open it). With `only_serial`, units with other serials are passed
// over.
ScanResult make_scan(QString* errors, QString const& only_serial = QString(), Capabilities capabilities = {});

} // namespace DFU
