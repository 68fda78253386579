#pragma once

#include "device/product.h"
#include "dfu/device_info.h"

#include <QString>
#include <QVector>

// --list: every attached unit in update mode read once, and what a run would do with it. Only reads.
namespace unit_list {

// What a run would do with a unit, in the order the upgrade flow judges it.
enum class Judgement { upgrade, current, other_product, blank_record, unreadable, no_access, in_use };

// One attached unit: as listed (or, without access, only its device address) and as read.
struct Unit {
    DFU::DeviceItem item;
    QString product;  // empty when unknown
    QString firmware; // the firmware revision; empty when unknown
    Judgement judgement = Judgement::unreadable;

    // One line of the listing: serial, USB path, product, firmware, what a run would do.
    QString text(QString const& desired_revision) const;
};

// The flow's judgement of a unit read whole.
Judgement judge(DFU::DeviceInfo const& info, Device::Type desired_type, QString const& desired_revision);
// A short stable name for scripts, e.g. "other-product".
QString judgement_name(Judgement judgement);

// The device addresses dfu-util could not open for want of permission (from the listing's standard error).
QStringList addresses_without_access(QString const& listing_errors);

// Lists and reads every unit (with a serial, only the units with it); units another run works on are not
// read.
QVector<Unit> read_units(QString const& only_serial, Device::Type desired_type,
                         QString const& desired_revision);

// Whether the command line asks for the listing; looked at before the application object exists.
bool list_requested(int argc, char** argv);
// Start-up, listing and exit code of --list: 0, or Exit::nothing_attached.
int run_unit_list();

} // namespace unit_list
