#include "app/instance.h"

#include "dfu/unit_lock.h"

namespace instance {

Claim claim(QString const& serial, qint64* holder) {
    using DFU::unit_lock::Take;
    Take const taken = serial.isEmpty() ? DFU::unit_lock::take_bus() : DFU::unit_lock::take_unit(serial);
    switch (taken) {
    case Take::taken:
        return Claim::taken;
    case Take::failed:
        return Claim::failed;
    case Take::held:
        break;
    }
    DFU::unit_lock::Holder const found =
        serial.isEmpty() ? DFU::unit_lock::why_bus_busy() : DFU::unit_lock::why_busy(serial);
    *holder = found.pid;
    switch (found.busy) {
    case DFU::unit_lock::Busy::write_finishing:
        return Claim::write_finishing;
    case DFU::unit_lock::Busy::other_process:
        return Claim::reserved_by_other;
    case DFU::unit_lock::Busy::in_use:
        break;
    }
    return Claim::already_running;
}

} // namespace instance
