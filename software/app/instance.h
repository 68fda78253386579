#pragma once

#include <QString>

namespace instance {

enum class Claim {
    taken,
    already_running, // another run holds the bus, or the unit with this serial
    write_finishing, // a write to the unit with this serial still runs, maybe left by a run that has ended
    failed,          // the claim could not be made for another reason (told in the log)
};

// Claims the right to run for the life of the process, on the whole machine: without a serial, alone on
// the bus among runs without one; with one, alone on that unit (in any spelling of its serial). Units are
// reserved one by one as they are read besides. The kernel drops every claim when the last process holding
// it ends, however it ends: a write left running keeps its unit's.
Claim claim(QString const& bus, QString const& serial = QString());

// The bus an instance guards: the USB bus, or in simulator mode the emulated world it was pointed at.
QString bus_name(bool simulated);

} // namespace instance
