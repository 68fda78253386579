#include "app/causes.h"

#include <map>

namespace {

// clang-format off
std::map<Cause, CauseWords> const table{
    {Cause::matches,                 {Exit::firmware_matches,       "firmware-matches",       "result_matches",          ""}},
    {Cause::differs,                 {Exit::differs_after_download, "differs-after-download", "result_differs",          "hint_differs"}},
    {Cause::differs_after_success,   {Exit::differs_after_download, "differs-after-download", "result_differsAfterSuccess", "hint_differsAfterSuccess"}},
    {Cause::other_product,           {Exit::other_product,          "other-product",          "result_otherProduct",     "hint_otherProduct"}},
    {Cause::blank_record,            {Exit::blank_product_record,   "blank-record",           "result_blank",            "hint_blank"}},
    {Cause::unreadable,              {Exit::device_unreadable,      "unreadable",             "result_unreadable",       "hint_noAnswer"}},
    {Cause::serial_unreadable,       {Exit::device_unreadable,      "unreadable",             "result_serialUnreadable", "hint_serialUnreadable"}},
    {Cause::could_not_verify,        {Exit::could_not_verify,       "could-not-verify",       "result_couldNotVerify",   "hint_couldNotVerify"}},
    {Cause::write_failed,            {Exit::write_failed,           "write-failed",           "result_writeFailed",      "hint_writeFailed"}},
    {Cause::not_verified,            {Exit::not_verified,           "not-verified",           "result_notVerified",      "hint_notVerified"}},
    {Cause::not_verified_in_use,     {Exit::not_verified,           "not-verified",           "result_notVerifiedInUse", "hint_notVerifiedInUse"}},
    {Cause::not_verified_unbound,    {Exit::not_verified,           "not-verified",           "result_notVerifiedUnbound", "hint_notVerifiedUnbound"}},
    {Cause::not_verified_local,      {Exit::not_verified,           "not-verified",           "result_notVerifiedLocal", "hint_notVerifiedLocal"}},
    {Cause::local_failure,           {Exit::private_files_failed,   "private-files-failed",   "result_localWrite",       "hint_localWrite"}},
    {Cause::write_finishing,         {Exit::already_running,        "already-running",        "hint_writeFinishing",     "hint_writeFinishing"}},
    {Cause::reserved_by_other_run,   {Exit::already_running,        "already-running",        "hint_unitInUse",          "hint_unitInUse"}},
    {Cause::reservation_failed,      {Exit::already_running,        "already-running",        "hint_claimFailed",        "hint_claimFailed"}},
    {Cause::no_access,               {Exit::no_unit_in_time,        "no-unit-in-time",        "result_noUnitInTime",     "hint_noAccess"}},
    {Cause::several_units,           {Exit::no_unit_in_time,        "no-unit-in-time",        "result_noUnitInTime",     "hint_severalUnits"}},
    {Cause::no_dfu_util_listing,     {Exit::no_unit_in_time,        "no-unit-in-time",        "result_noUnitInTime",     "hint_noDfuUtil"}},
    {Cause::listing_failed_waiting,  {Exit::no_unit_in_time,        "no-unit-in-time",        "result_noUnitInTime",     "hint_listingFailed"}},
    {Cause::reserved_by_other_process, {Exit::no_unit_in_time,      "no-unit-in-time",        "result_noUnitInTime",     "hint_reservedByProcess"}},
    {Cause::claimed_elsewhere,       {Exit::no_unit_in_time,        "no-unit-in-time",        "result_noUnitInTime",     "hint_claimedElsewhere"}},
    {Cause::claim_refused,           {Exit::no_unit_in_time,        "no-unit-in-time",        "result_noUnitInTime",     "hint_claimRefused"}},
    {Cause::restarting_elsewhere,    {Exit::no_unit_in_time,        "no-unit-in-time",        "result_noUnitInTime",     ""}},
    {Cause::no_unit_in_time,         {Exit::no_unit_in_time,        "no-unit-in-time",        "result_noUnitInTime",     ""}},
    {Cause::serial_absent,           {Exit::no_unit_in_time,        "no-unit-in-time",        "result_serialAbsent",     "hint_serialAbsent"}},
    {Cause::interrupted,             {Exit::interrupted_base,       "interrupted",            "result_interrupted",      ""}},
    {Cause::interrupted_after_write, {Exit::interrupted_base,       "interrupted",            "result_interruptedAfterWrite", ""}},
    {Cause::cannot_start,            {Exit::cannot_start,           "cannot-start",           "",                        ""}},
    {Cause::private_files_failed,    {Exit::private_files_failed,   "private-files-failed",   "",                        "hint_privateFiles"}},
    {Cause::already_running,         {Exit::already_running,        "already-running",        "",                        "hint_alreadyRunning"}},
    {Cause::start_reserved_by_other_process, {Exit::already_running, "already-running",     "",                        "hint_startReservedByProcess"}},
    {Cause::no_dfu_util,             {Exit::no_dfu_util,            "no-dfu-util",            "",                        "hint_noDfuUtil"}},
    {Cause::listed,                  {Exit::firmware_matches,       "listed",                 "",                        ""}},
    {Cause::nothing_attached,        {Exit::nothing_attached,       "nothing-attached",       "list_nothing",            ""}},
    {Cause::listing_failed,          {Exit::device_unreadable,      "listing-failed",         "list_failed",             "hint_listingFailed"}},
    // A run on the unit writes it and, if all goes well, ends so.
    {Cause::upgrade,                 {Exit::firmware_matches,       "firmware-matches",       "",                        ""}},
};

std::map<Cause, ListingWords> const listing{
    {Cause::upgrade,                   {"upgrade",           "list_upgrade"}},
    {Cause::matches,                   {"current",           "list_current"}},
    {Cause::other_product,             {"other-product",     "list_otherProduct"}},
    {Cause::blank_record,              {"blank-record",      "list_blank"}},
    {Cause::unreadable,                {"unreadable",        "list_unreadable"}},
    {Cause::no_access,                 {"no-access",         "list_noAccess"}},
    {Cause::reserved_by_other_run,     {"in-use",            "list_inUse"}},
    {Cause::claimed_elsewhere,         {"claimed-elsewhere", "list_claimedElsewhere"}},
    // dfu-util 0.9 gives no reason; most often another program has the unit open.
    {Cause::claim_refused,             {"claimed-elsewhere", "list_claimedElsewhere"}},
    {Cause::write_finishing,           {"write-finishing",   "list_writeFinishing"}},
    {Cause::reserved_by_other_process, {"reserved-by-other", "list_reservedByProcess"}},
};
// clang-format on

ListingWords const none{"", ""};

} // namespace

CauseWords const& words_of(Cause cause) {
    return table.at(cause);
}

Cause cause_of(bus::Situation situation) {
    switch (situation) {
    case bus::Clear:
        break;
    case bus::NoAccess:
        return Cause::no_access;
    case bus::SeveralUnits:
        return Cause::several_units;
    case bus::NoDfuUtil:
        return Cause::no_dfu_util_listing;
    case bus::ListingFailed:
        return Cause::listing_failed_waiting;
    case bus::UnitInUse:
        return Cause::reserved_by_other_run;
    case bus::WriteFinishing:
        return Cause::write_finishing;
    case bus::ReservationFailed:
        return Cause::reservation_failed;
    case bus::ReservedByOther:
        return Cause::reserved_by_other_process;
    case bus::ClaimedElsewhere:
        return Cause::claimed_elsewhere;
    case bus::SerialUnreadable:
        return Cause::serial_unreadable;
    case bus::ClaimRefused:
        return Cause::claim_refused;
    case bus::RestartingElsewhere:
        return Cause::restarting_elsewhere;
    }
    return Cause::no_unit_in_time;
}

ListingWords const& listing_words_of(Cause cause) {
    auto const found = listing.find(cause);
    return found == listing.end() ? none : found->second;
}

Cause cause_of(flow::Judgement judgement) {
    switch (judgement) {
    case flow::Judgement::blank_record:
        return Cause::blank_record;
    case flow::Judgement::other_product:
        return Cause::other_product;
    case flow::Judgement::upgrade:
        return Cause::upgrade;
    case flow::Judgement::current:
        return Cause::matches;
    case flow::Judgement::unreadable:
        break;
    }
    return Cause::unreadable;
}

Cause cause_of(instance::Claim claim) {
    switch (claim) {
    case instance::Claim::reserved_by_other:
        return Cause::start_reserved_by_other_process;
    case instance::Claim::write_finishing:
        return Cause::write_finishing;
    case instance::Claim::failed:
        return Cause::reservation_failed;
    case instance::Claim::taken:
    case instance::Claim::already_running:
        break;
    }
    return Cause::already_running;
}

Cause cause_of(DFU::unit_lock::Busy busy) {
    switch (busy) {
    case DFU::unit_lock::Busy::write_finishing:
        return Cause::write_finishing;
    case DFU::unit_lock::Busy::other_process:
        return Cause::reserved_by_other_process;
    case DFU::unit_lock::Busy::in_use:
        break;
    }
    return Cause::reserved_by_other_run;
}
