#include "control/reservation.h"

#include "dfu/unit_lock.h"

#include <algorithm>

bus::Reservation Reservations::reserve(QString const& serial) {
    bool const held_before = DFU::unit_lock::holds_unit(serial);
    switch (DFU::unit_lock::take_unit(serial)) {
    case DFU::unit_lock::Take::taken:
        if (!held_before)
            reserved << serial;
        return bus::Reservation::taken;
    case DFU::unit_lock::Take::failed:
        // The unit is not touched without its name.
        return bus::Reservation::failed;
    case DFU::unit_lock::Take::held:
        break;
    }
    DFU::unit_lock::Holder const holder = DFU::unit_lock::why_busy(serial);
    switch (holder.busy) {
    case DFU::unit_lock::Busy::write_finishing:
        return bus::Reservation::write_finishing;
    case DFU::unit_lock::Busy::other_process:
        holder_pid = holder.pid;
        return bus::Reservation::other_process;
    case DFU::unit_lock::Busy::in_use:
        break;
    }
    return bus::Reservation::in_use;
}

void Reservations::release_all_but(QVector<DFU::DeviceItem> const& awaited) {
    auto const is_awaited = [&awaited](QString const& serial) {
        return std::any_of(awaited.begin(), awaited.end(),
                           [&serial](DFU::DeviceItem const& unit) { return unit.serial == serial; });
    };
    for (auto it = reserved.begin(); it != reserved.end();) {
        if (is_awaited(*it)) {
            ++it;
            continue;
        }
        DFU::unit_lock::release_unit(*it);
        it = reserved.erase(it);
    }
}

void Reservations::release_all() {
    release_all_but({});
}
