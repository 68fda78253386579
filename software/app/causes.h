#pragma once

#include "app/exit_codes.h"
#include "app/instance.h"
#include "control/bus_judgement.h"
#include "control/unit_judgement.h"
#include "dfu/unit_lock.h"

#include <QString>

// Every way a run ends, whatever told it (the worker, the flow machine, the clock, a signal). From each
// come, here and nowhere else, its exit code, its outcome word for scripts (the JSON result), and the ids of
// its result line's words and of its hint in the settings file.
enum class Cause {
    matches,
    differs,
    differs_after_success, // dfu-util reported a complete write, and the unit holds what it held before
    other_product,
    blank_record,
    unreadable,
    serial_unreadable, // the unit's serial cannot be read or is cut by dfu-util: no command can name it
    could_not_verify,
    write_failed,
    not_verified,          // written; the written unit did not come back
    not_verified_in_use,   // written; the written unit came back held by another program
    not_verified_unbound,  // written; what was read back could not be shown to come from the written unit
    not_verified_local,    // written; the read-back could not be stored on this computer
    local_failure,         // nothing written; this computer's temporary directory failed
    write_finishing,       // another run's write to the unit still runs
    reserved_by_other_run, // another run of this tool, this user's or another's, holds the unit
    reservation_failed,
    // What the bus shows while a run waits; told as a hint, the run's end only when its time is up.
    no_access,
    several_units,
    no_dfu_util_listing,
    listing_failed_waiting,
    reserved_by_other_process,
    claimed_elsewhere,
    claim_refused, // dfu-util 0.9 does not say why
    restarting_elsewhere, // no unit here, and another run's written unit may be restarting
    no_unit_in_time,
    serial_absent,
    interrupted,
    interrupted_after_write,
    // Only at start-up.
    cannot_start,
    private_files_failed,
    already_running,
    start_reserved_by_other_process,
    no_dfu_util,
    // Only for --list: how it ends, and a listed unit a run would upgrade.
    listed,
    nothing_attached,
    listing_failed,
    upgrade,
};

struct CauseWords {
    Exit::Code exit_code; // interrupted ones: plus the signal number
    char const* outcome;
    char const* result_id; // empty where the words come from elsewhere (start-up, --list)
    char const* hint_id;   // empty when the result line says all
};

CauseWords const& words_of(Cause cause);

// How --list names a unit judged with the cause a run on it would meet: a stable name for scripts (the JSON
// judgement) and the id of its words in the settings file. Empty for the causes a listing never names.
struct ListingWords {
    char const* name;
    char const* text_id;
};

ListingWords const& listing_words_of(Cause cause);

// What one run found about its unit, kept for its end (the JSON result, a record of the run): the unit
// written, or else the last one read; its firmware before the run's write, and after it only as the
// written unit's own read-back showed it; dfu-util's last message about it, if it failed.
struct RunRecord {
    QString serial;
    QString firmware_before;
    QString firmware_after;
    QString dfu_util_message;
};
// The cause of a bus that is not clear.
Cause cause_of(bus::Situation situation);
// What a run would meet with a unit the flow judged so.
Cause cause_of(flow::Judgement judgement);
// Why this run may not start: another run or process holds the bus or the unit asked for.
Cause cause_of(instance::Claim claim);
// Why --list does not read a unit whose name another process holds.
Cause cause_of(DFU::unit_lock::Busy busy);
