#pragma once

#include <QString>

namespace instance {

enum class Claim {
    taken,
    already_running,   // another run holds the bus, or the unit with this serial
    write_finishing,   // a write to the unit with this serial still runs, maybe left by a run that has ended
    reserved_by_other, // a process that is not this tool holds the bus or the unit
    failed,            // the claim could not be made for another reason (told in the log)
};

// Claims the right to run for the life of the process, on the whole machine: without a serial, alone on
// the bus among runs without one; with one, alone on that unit (in any spelling of its serial). Units are
// reserved one by one as they are read besides. The kernel drops every claim when the last process holding
// it ends, however it ends: a write left running keeps its unit's.
// On the bus that dfu-util was pointed at (the USB bus, or in simulator mode the emulated world): made
// after that choice. What was found held names its holder in `holder`: the process ID, 0 when the system
// does not show it.
Claim claim(QString const& serial, qint64* holder);

} // namespace instance
