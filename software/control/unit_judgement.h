#pragma once

#include "device/product.h"
#include "dfu/device_info.h"

#include <QString>

// What the upgrade flow makes of a unit read whole; the flow machine's guards and --list both ask this.
namespace flow {

enum class Judgement {
    blank_record,  // B9: the product record is blank
    other_product, // B8: a product of another type
    upgrade,       // B2: another firmware revision
    current,       // B4: the desired revision, to be verified
    unreadable,    // no judgement: the firmware information could not be made sense of
};

Judgement judge(DFU::DeviceInfo const& info, Device::Type desired_type, QString const& desired_revision);

} // namespace flow
