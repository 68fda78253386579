#pragma once

#include <QString>
#include <vector>

// Exclusion between runs on the whole machine, by names in the kernel's abstract UNIX socket namespace.
// A name is held while any descriptor of the socket bound to it is open, in this process or in a child that
// inherited it; the kernel drops it when the last one closes, however the holders end. Such names live in
// no directory, so nothing can be planted or followed, and they are the same for every user and environment
// of the machine (of its network namespace).
namespace DFU {

namespace unit_lock {

enum class Take {
    taken,  // this process holds the name now (or already held it)
    held,   // another process holds it
    failed, // the name could not be taken for another reason (told in the log)
};

// What is known of a name that this process could not take.
enum class Busy {
    in_use,          // another run of this tool reads or works on the unit (or holds the bus), this user's or
                     // another's (see Holder::other_user)
    write_finishing, // a dfu-util write to the unit runs, possibly left by a run that has ended
    other_process,   // a process that is not this tool holds the name
};

// Why a name is busy, and the process seen holding it.
struct Holder {
    Busy busy = Busy::in_use;
    // 0 when the system does not show the holder (another namespace's process; another user's, unless
    // exactly one process of that user is this tool)
    qint64 pid = 0;
    // The user whose process holds the name, as the kernel tells anyone (the owner of the bound socket);
    // -1 when not known.
    qint64 uid = -1;

    // Held by another user than the one this process runs as.
    bool other_user() const;
    // That user's login name, or the number where it has none; empty when not known.
    QString user_name() const;
};

// A USB serial as every comparison, filter, name and listing uses it: trimmed, upper case.
QString canonical_serial(QString const& serial);

// The bus the names are about: "usb", or the emulated world's canonical path in simulator mode. Set once,
// where simulator mode points dfu-util at the emulated world, before any name is taken.
void set_bus(QString const& bus);
// The bus of the emulated world: its canonical path (DFU_SIM_DIR, or the emulator's default).
QString simulated_bus();

// The bus name, taken by runs that may work on any unit: at most one such run per bus.
Take take_bus();
// The unit's name, taken before anything reads or writes it; kept until release_unit. Taking a name this
// process holds again succeeds.
Take take_unit(QString const& serial);
void release_unit(QString const& serial);
// Whether this process holds the unit's name.
bool holds_unit(QString const& serial);
// Why a unit whose name could not be taken is busy. Only looks: takes no name, so it can neither be misled
// by another run's look nor disturb a writer.
Holder why_busy(QString const& serial);
// Why the bus name could not be taken.
Holder why_bus_busy();

// The descriptors a write child inherits: the unit's name, the unit's writing name, which is bound only
// for the write, and its restart name, kept until the written unit is judged (end_restart). Empty when the
// unit's name is not held; without the names that cannot be taken.
std::vector<int> begin_write(QString const& serial);
// Drops the writing name (the child that inherited it has ended or was left running).
void end_write(QString const& serial);
// Drops the restart name: the written unit was read back, or is given up.
void end_restart(QString const& serial);
// Whether a run other than this one writes a unit of this bus or waits for a written one to restart: a
// unit may be off the bus only for its restart, and nobody is to be told to pull a power cable.
bool restart_elsewhere();

} // namespace unit_lock

} // namespace DFU
