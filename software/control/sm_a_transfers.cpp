// The worker's write and read-back of a unit: their life from the order to the verdict, and their progress.
#include "control/sm_a.h"

#include "dfu/firmware_transfer.h"
#include "dfu/unit_lock.h"
#include "files/files.h"

#include <QDebug>
#include <QFileInfo>
#include <algorithm>

namespace {

SM_A::Step step_of(DFU::Progress::Step step) {
    switch (step) {
    case DFU::Progress::Step::erasing:
        return SM_A::Erasing;
    case DFU::Progress::Step::writing:
        return SM_A::Writing;
    case DFU::Progress::Step::erasing_and_writing:
        return SM_A::ErasingAndWriting;
    case DFU::Progress::Step::reading_back:
        return SM_A::ReadingBack;
    }
    return SM_A::Writing;
}

} // namespace

SM_A::Next SM_A::carry_out_upload_and_verify() {
    emit sig_A6_entered();
    emit sig_FwUploading();
    DFU::DeviceItem const unit = device_info.unit;
    DFU::TransferWatch const watch = transfer_watch(ReadingBack);
    QString local_problem;
    DFU::Verification const verification = DFU::upload_and_compare_FW_bin(
        desired_FW_bin_path, uploaded_FW_bin_path, unit, watch, &local_problem);
    if (verification == DFU::Verification::local_failure) {
        emit sig_LocalFailure(local_problem);
        return Next::A7;
    }
    if (verification == DFU::Verification::unit_busy || verification == DFU::Verification::claim_refused) {
        return wait_while_claimed_elsewhere(unit, verification == DFU::Verification::unit_busy
                                                      ? DFU::Failure::unit_busy
                                                      : DFU::Failure::claim_refused);
    }
    if (verification == DFU::Verification::unbound && written.contains(unit)) {
        written.clear();
        emit sig_FwUploadUnbound();
        return Next::A7;
    }
    if (verification == DFU::Verification::unknown || verification == DFU::Verification::unbound) {
        qInfo() << "Uploaded FW could not be read back whole; the unit is read again once it comes back";
        emit sig_FwUploadIncomplete("The firmware could not be read back from the device.");
        return Next::A7;
    }
    written.untrack(unit);
    if (verification == DFU::Verification::matches) {
        qDebug() << "Uploaded FW matches";
        emit sig_FwUploadedMatches();
    } else {
        qDebug() << "Uploaded FW does not match";
        emit sig_FwUploadedDiffers();
    }
    return Next::A2;
}

// The write child inherits the unit's name and its writing name: should this process end during the write,
// the unit stays reserved, and told as being written, until dfu-util is done with it.
void SM_A::carry_out_download() {
    emit sig_A5_entered();
    emit sig_FwDownloading();
    DFU::DeviceItem const unit = device_info.unit;
    // A unit written is only known to hold the image once it was read back: without room for that, nothing
    // is written.
    if (QString const problem =
            Files::local_write_problem(uploaded_FW_bin_path, DFU::size_of_binary_file(desired_FW_bin_path));
        !problem.isEmpty()) {
        set_writing(false);
        qWarning().noquote() << "SM_A: dropping command Download: no room for the read-back:" << problem;
        emit sig_LocalFailure(QFileInfo(uploaded_FW_bin_path).absolutePath() + ": " + problem);
        return;
    }
    written.track(unit);
    DFU::TransferWatch watch = transfer_watch(Erasing);
    watch.still_running = [this](int seconds) { emit sig_FwStillWriting(seconds); };
    watch.inherited = DFU::unit_lock::begin_write(unit.serial);
    if (watch.inherited.empty()) {
        // Another run could be working on the unit: nothing is written without its name.
        written.untrack(unit);
        set_writing(false);
        qWarning() << "SM_A: dropping command Download because this run does not hold the name of unit"
                   << unit.serial;
        emit sig_FwDownloadFailed("The product is not reserved for this run, so nothing was written to it.",
                                  still_listed(unit));
        return;
    }
    if (watch.inherited.size() < 3)
        qWarning() << "SM_A: the write to" << unit.serial << "is not marked as a write or a restart for other runs";
    DFU::CommandResult const result = DFU::download_FW_to_device(desired_FW_bin_path, unit, watch);
    if (!result.left_running())
        DFU::unit_lock::end_write(unit.serial);
    set_writing(false);
    switch (result.failure) {
    case DFU::Failure::left_running:
        qInfo() << "SM_A: the write goes on without the tool, which quits";
        return;
    case DFU::Failure::unit_not_found:
        // The unit left (or was swapped) after it was read: dfu-util wrote nothing.
        written.untrack(unit);
        qInfo()
            << "SM_A: dropping command Download because the unit it was ordered for is no longer attached";
        return;
    case DFU::Failure::unit_busy:
    case DFU::Failure::claim_refused:
    case DFU::Failure::several_units:
        written.untrack(unit);
        qInfo().noquote() << "SM_A: dropping command Download, dfu-util wrote nothing:"
                          << text_of(result.failure);
        return;
    case DFU::Failure::leave_failed:
        // Many bootloaders reset as soon as the request to leave arrives, before its status can be read.
        qInfo().noquote() << "SM_A: every byte was written; dfu-util's" << DFU::last_message(result)
                          << "concerns the request to leave update mode, and the read-back decides";
        break;
    case DFU::Failure::none:
        break;
    default:
        emit sig_FwDownloadFailed(DFU::last_message(result), still_listed(unit));
        break;
    }
    emit sig_FwDownloaded();
}

// Progress in bytes of the image; dfu-util names the step of each report.
DFU::TransferWatch SM_A::transfer_watch(Step first_step) {
    qint64 const total = DFU::size_of_binary_file(desired_FW_bin_path);
    emit sig_Progress(first_step, 0, total);
    DFU::TransferWatch watch;
    watch.progress = [this, total](DFU::Progress const& progress) {
        emit sig_Progress(step_of(progress.step), progress.bytes, total);
    };
    return watch;
}

// Whether the unit is listed in update mode right after a write that stopped part-way: it may have a new
// device address, not another serial or port.
bool SM_A::still_listed(DFU::DeviceItem const& unit) {
    DFU::ScanResult const scan = DFU::make_scan(nullptr, unit.serial, DFU::Capabilities{unit.by_devnum});
    return std::any_of(scan.devices.begin(), scan.devices.end(),
                       [&](DFU::DeviceItem const& listed) { return listed.same_unit(unit); });
}
