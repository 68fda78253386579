#include "control/written_units.h"

#include "dfu/unit_lock.h"

#include <algorithm>

namespace {

bool listed_in(QVector<DFU::DeviceItem> const& units, DFU::DeviceItem const& unit) {
    return std::any_of(units.begin(), units.end(),
                       [&](DFU::DeviceItem const& w) { return w.same_unit(unit); });
}

} // namespace

void WrittenUnits::track(DFU::DeviceItem const& unit) {
    std::lock_guard<std::mutex> lock(mutex);
    units.erase(std::remove_if(units.begin(), units.end(),
                               [&](DFU::DeviceItem const& w) { return w.same_unit(unit); }),
                units.end());
    units.append(unit);
}

void WrittenUnits::untrack(DFU::DeviceItem const& unit) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        units.erase(std::remove_if(units.begin(), units.end(),
                                   [&](DFU::DeviceItem const& w) { return w.same_unit(unit); }),
                    units.end());
    }
    DFU::unit_lock::end_restart(unit.serial);
}

void WrittenUnits::clear() {
    QVector<DFU::DeviceItem> gone;
    {
        std::lock_guard<std::mutex> lock(mutex);
        gone.swap(units);
    }
    for (DFU::DeviceItem const& unit : gone)
        DFU::unit_lock::end_restart(unit.serial);
}

QVector<DFU::DeviceItem> WrittenUnits::all() const {
    std::lock_guard<std::mutex> lock(mutex);
    return units;
}

DFU::DeviceItem WrittenUnits::oldest() const {
    std::lock_guard<std::mutex> lock(mutex);
    return units.value(0);
}

bool WrittenUnits::awaits_other_than(DFU::DeviceItem const& unit) const {
    std::lock_guard<std::mutex> lock(mutex);
    return !units.isEmpty() && !listed_in(units, unit);
}

bool WrittenUnits::contains(DFU::DeviceItem const& unit) const {
    std::lock_guard<std::mutex> lock(mutex);
    return listed_in(units, unit);
}
