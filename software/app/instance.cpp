#include "app/instance.h"

#include "dfu/unit_lock.h"

namespace instance {

Claim claim(QString const& bus, QString const& serial) {
    using DFU::unit_lock::Take;
    DFU::unit_lock::set_bus(bus);
    Take const taken = serial.isEmpty() ? DFU::unit_lock::take_bus() : DFU::unit_lock::take_unit(serial);
    switch (taken) {
    case Take::taken:
        return Claim::taken;
    case Take::failed:
        return Claim::failed;
    case Take::held:
        break;
    }
    if (!serial.isEmpty() && DFU::unit_lock::why_busy(serial) == DFU::unit_lock::Busy::write_finishing)
        return Claim::write_finishing;
    return Claim::already_running;
}

QString bus_name(bool simulated) {
    return simulated ? DFU::unit_lock::simulated_bus() : QStringLiteral("usb");
}

} // namespace instance
