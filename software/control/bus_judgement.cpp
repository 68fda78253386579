#include "control/bus_judgement.h"

namespace bus {

bool names_one_unit(DFU::ScanResult const& scan) {
    return scan.error == 0 && scan.devices.size() == 1;
}

// A bootloader this user may not open is listed by no line, only by dfu-util's standard error; with a
// serial filter, several units means several with that serial.
Situation judge_claim(DFU::Failure refusal) {
    if (refusal == DFU::Failure::unit_busy)
        return ClaimedElsewhere;
    return refusal == DFU::Failure::claim_refused ? ClaimRefused : Clear;
}

Situation judge(DFU::ScanResult const& scan, QString const& listing_errors, Reservation reservation,
                DFU::Failure claim, bool restart_elsewhere) {
    if (scan.devices.size() + scan.unidentified.size() > 1)
        return SeveralUnits;
    if (scan.devices.isEmpty() && !DFU::addresses_without_access(listing_errors).isEmpty())
        return NoAccess;
    if (scan.listing_failure == DFU::Failure::not_started)
        return NoDfuUtil;
    if (scan.listing_failure != DFU::Failure::none && scan.listing_failure != DFU::Failure::stopped)
        return ListingFailed;
    if (scan.devices.isEmpty() && !scan.unidentified.isEmpty())
        return SerialUnreadable;
    // The unit a run waits for may be the one restarting.
    if (scan.devices.isEmpty() && restart_elsewhere)
        return RestartingElsewhere;
    if (!names_one_unit(scan))
        return Clear;
    switch (reservation) {
    case Reservation::not_tried:
    case Reservation::taken:
        return judge_claim(claim);
    case Reservation::in_use:
        return UnitInUse;
    case Reservation::write_finishing:
        return WriteFinishing;
    case Reservation::other_process:
        return ReservedByOther;
    case Reservation::failed:
        break;
    }
    return ReservationFailed;
}

} // namespace bus
