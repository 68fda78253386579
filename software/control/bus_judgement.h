#pragma once

#include "dfu/scan.h"

#include <QString>
#include <cstdint>

// What the worker makes of one look at the bus: dfu-util's listing, its standard error, and how the name of
// the one unit listed was taken. Nothing here runs dfu-util or takes a name.
namespace bus {

// What the listing says beyond the units it names.
enum Situation : int32_t {
    Clear = 0,
    NoAccess = 1,          // a bootloader is attached, but this user may not open it
    SeveralUnits = 2,      // more than one bootloader is attached
    NoDfuUtil = 3,         // dfu-util cannot be started
    UnitInUse = 4,         // the one unit listed is reserved by another run, which reads or works on it
    WriteFinishing = 5,    // a dfu-util write to the one unit listed still runs, maybe left by an ended run
    ReservationFailed = 6, // the one unit listed could not be reserved for another reason than a holder
    ReservedByOther = 7,   // the one unit listed is reserved by a process that is not this tool
    ClaimedElsewhere = 8,  // the one unit listed refused to be claimed: another program has it open
    ListingFailed = 9,     // dfu-util started but could not list (no USB on this host, a crash, a hang)
    SerialUnreadable = 10, // the one unit listed has a serial that no command can name
    ClaimRefused = 11,     // the one unit listed refused to be claimed, and dfu-util (0.9) does not say why
    RestartingElsewhere = 12, // no unit listed, and another run writes one or waits for a written one
};

// How the name of the one unit listed was tried.
enum class Reservation {
    not_tried,       // the listing names no single unit
    taken,           // this run holds it
    in_use,          // another run of this tool reads or works on the unit
    write_finishing, // a dfu-util write to the unit runs
    other_process,   // a process that is not this tool holds the name
    failed,          // the name could not be taken for another reason
};

// Whether the listing names exactly one unit, and by a serial: the one to reserve, read and judge.
bool names_one_unit(DFU::ScanResult const& scan);

// The situation of the bus. `claim`: how the one unit listed refused its last claim (Failure::none when it
// did not); `restart_elsewhere`: whether another run writes a unit or waits for a written one to restart.
Situation judge(DFU::ScanResult const& scan, QString const& listing_errors, Reservation reservation,
                DFU::Failure claim, bool restart_elsewhere = false);
// The situation of a unit that refused to be claimed with `refusal` (see DFU::refused_claim).
Situation judge_claim(DFU::Failure refusal);

} // namespace bus
