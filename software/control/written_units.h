#pragma once

#include "dfu/scan.h"

#include <QVector>
#include <mutex>

// The units written in this run, oldest first, until a read-back of each has judged it or it was told as
// not verified; each keeps its restart name (see DFU::unit_lock) until then. Safe to use from any thread.
class WrittenUnits {
public:
    void track(DFU::DeviceItem const& unit);
    void untrack(DFU::DeviceItem const& unit);
    void clear();
    QVector<DFU::DeviceItem> all() const;
    // The oldest of them; empty serial when none.
    DFU::DeviceItem oldest() const;
    // Whether a written unit awaits its verification and `unit` is none of them.
    bool awaits_other_than(DFU::DeviceItem const& unit) const;
    // Whether `unit` is one of them.
    bool contains(DFU::DeviceItem const& unit) const;

private:
    // Standard rather than Qt primitives, so that the thread checker sees every hand-over.
    mutable std::mutex mutex;
    QVector<DFU::DeviceItem> units;
};
