#pragma once

#include "control/bus_judgement.h"
#include "dfu/scan.h"

#include <QStringList>
#include <QVector>
#include <atomic>

// The names of the units this worker reserved against other runs, machine-wide: a unit is reserved before
// it is read, and stays reserved while its written firmware awaits verification. Only the worker's thread
// takes and releases names; the holder seen last may be asked from any thread.
class Reservations {
public:
    // Takes the unit's name (or finds it held already by this run) and tells who holds it otherwise.
    bus::Reservation reserve(QString const& serial);
    // Releases every name but those of `awaited`, even while away.
    void release_all_but(QVector<DFU::DeviceItem> const& awaited);
    // A write left running keeps its unit through the names its dfu-util inherited.
    void release_all();
    // With Reservation::other_process: the process seen holding the unit, 0 when the system does not show it.
    qint64 holder() const { return holder_pid; }

private:
    QStringList reserved;
    std::atomic<qint64> holder_pid{0};
};
