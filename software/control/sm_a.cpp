// The worker's loop: positions A0 to A7, the listing of the bus and the read of a unit found alone on it.
#include "control/sm_a.h"

#include "dfu/unit_lock.h"

#include <QDebug>
#include <csignal>
#include <pthread.h>

SM_A* sm_A = nullptr;

namespace {

// Termination signals are for the main thread, which stops the engine in order. dfu-util gets a clear mask
// and a session of its own from the runner, so nothing meant for this process reaches a write.
void block_termination_signals() {
    sigset_t termination;
    sigemptyset(&termination);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&termination, signal_number);
    pthread_sigmask(SIG_BLOCK, &termination, nullptr);
}

} // namespace

SM_A::SM_A(QString desired_FW_dfu_path, QString desired_FW_bin_path, QString uploaded_FW_bin_path,
           QObject* parent)
    : QThread(parent), desired_FW_dfu_path(desired_FW_dfu_path), desired_FW_bin_path(desired_FW_bin_path),
      uploaded_FW_bin_path(uploaded_FW_bin_path) {
    qDebug() << "SM_A created";
}

SM_A::~SM_A() {
    do_stop();
    qDebug() << "SM_A: Waiting in dtor";
    wait();
    // The thread checker does not see QThread::wait hand the thread's members over; it sees this lock.
    std::lock_guard<std::mutex> lock(mutex);
}

// Only a written unit that this listing shows alone goes on to be read and verified; otherwise the written
// units are not back, whatever the time the tool itself was held up.
void SM_A::tell_whether_written_units_absent(DFU::ScanResult const& scan) {
    bool held_as_absent;
    {
        std::lock_guard<std::mutex> lock(mutex);
        held_as_absent = held_counts_as_absent;
    }
    if (single_device(scan) && !awaits_other_unit_than(scan.devices.first())) {
        if (!(held_as_absent && claimed_unit.same_unit(scan.devices.first()))) {
            qInfo() << "SM_A: a written unit is listed again and is read and verified";
            return;
        }
        qInfo() << "SM_A: the written unit is listed again, but another program holds it";
        emit sig_WrittenUnitsAbsent(true);
        return;
    }
    qInfo() << "SM_A: no written unit is listed to be verified";
    emit sig_WrittenUnitsAbsent(false);
}

void SM_A::run() {
    block_termination_signals();
    DFU::set_stop_checks_for_this_thread([this] { return is_stopping(); },
                                         [this] {
                                             std::lock_guard<std::mutex> lock(mutex);
                                             return leaving_write;
                                         });
    Next next = Next::A0;
    while (next != Next::Stop) {
        switch (next) {
        case Next::A0:
            next = at_A0();
            break;
        case Next::A2:
            next = at_A2();
            break;
        case Next::A4:
            next = at_A4();
            break;
        case Next::A7:
            next = at_A7();
            break;
        case Next::Stop:
            break;
        }
    }
    // A write left running keeps its unit through the names its dfu-util inherited. Under the lock, so that
    // the destructor sees the thread's last writes.
    std::lock_guard<std::mutex> lock(mutex);
    reservations.release_all();
}

SM_A::Next SM_A::at_A0() {
    emit sig_A0_entered();
    // The next device found is read anew, even one that never went away.
    last_device = {};
    claimed_unit = {};
    reservations.release_all_but(written.all());
    drop_pending_command("because the device left the listing");
    return at_A1();
}

SM_A::Next SM_A::at_A1() {
    emit sig_A1_entered();
    if (is_stopping()) {
        return Next::Stop;
    }
    publish(DFU::DeviceInfo());
    emit sig_NoDevConn();
    if (!first_pass_done) {
        first_pass_done = true;
        return Next::A2;
    }
    return pause(idle_delay_ms) ? Next::Stop : Next::A2;
}

SM_A::Next SM_A::at_A2() {
    emit sig_A2_entered();
    emit sig_scanning();
    DFU::ScanResult const scan = scan_and_judge_situation();
    if (is_stopping()) {
        return Next::Stop;
    }
    if (!single_device(scan)) {
        return Next::A0;
    }
    if (scan.devices.first() == last_device) {
        return Next::A4;
    }
    return read_new_device(scan.devices.first());
}

SM_A::Next SM_A::read_new_device(DFU::DeviceItem const& device) {
    emit sig_readingInfo();
    emit sig_NoDevConn();
    last_device = device;
    // The earlier device's record must not colour this one: read into a fresh record, publish it whole.
    publish(DFU::DeviceInfo());
    DFU::DeviceInfo info;
    DFU::CommandResult const result = DFU::read_device_info(&device, &info);
    if (DFU::refused_claim(result.failure))
        return wait_while_claimed_elsewhere(device, result.failure);
    // Enumerated anew since the listing (a new device address): listed again, and read at its new address.
    if (result.failure == DFU::Failure::unit_not_found && renumbered_reads < max_renumbered_reads) {
        ++renumbered_reads;
        qInfo().noquote() << "SM_A: the unit" << device.serial << "was not found at device address"
                          << device.devnum << "; it is listed and read again";
        last_device = {};
        return Next::A2;
    }
    renumbered_reads = 0;
    if (result.exit_code != 0) {
        QString const local = DFU::local_failure(result);
        if (local.isEmpty()) {
            emit sig_DeviceError(result.output + result.errors);
        } else {
            emit sig_LocalFailure(local);
        }
        return Next::A7;
    }
    claimed_unit = {};
    info.read_count = ++reads_done;
    publish(info);
    if (awaits_other_unit_than(device)) {
        DFU::DeviceItem const written = unit_awaiting_verification();
        qInfo().noquote() << "SM_A: read unit" << device.serial << device.path << "while the written unit"
                          << written.serial << written.path << "has not been verified";
        emit sig_OtherUnitThanWritten();
    }
    emit sig_DevConn();
    return Next::A4;
}

// Another program (a dfu-util started by hand, a run in another container) has the unit open. That ends by
// itself: the unit is listed and read again until it is free or leaves.
SM_A::Next SM_A::wait_while_claimed_elsewhere(DFU::DeviceItem const& device, DFU::Failure refusal) {
    claimed_unit = device;
    claim_refusal = refusal;
    last_device = {};
    bus::Situation const now = bus::judge_claim(refusal);
    if (situation != now && !is_stopping()) {
        situation = now;
        qInfo().noquote() << "SM_A: the unit" << device.serial << "refused to be claimed ("
                          << DFU::text_of(refusal) << "); waiting for it";
        emit sig_Situation(situation);
    }
    return pause(claimed_retry_ms) ? Next::Stop : Next::A2;
}

SM_A::Next SM_A::at_A4() {
    emit sig_A4_entered();
    if (is_stopping() || pause(poll_delay_ms)) {
        return Next::Stop;
    }
    // The command names the unit that was read, so a unit swapped in since the last listing is never
    // touched: dfu-util finds no such unit and the command fails.
    Command const command = take_command_for_current_read();
    if (command == None) {
        return Next::A2;
    }
    if (command == UploadAndVerify) {
        return carry_out_upload_and_verify();
    }
    // A quit may have come during the pause or since: no write starts after it.
    if (!begin_write()) {
        qInfo() << "SM_A: dropping command Download because a stop was requested";
        return Next::Stop;
    }
    carry_out_download();
    return Next::A0;
}

SM_A::Next SM_A::at_A7() {
    emit sig_A7_entered();
    emit sig_scanning();
    for (;;) {
        if (pause(poll_delay_ms)) {
            return Next::Stop;
        }
        DFU::ScanResult const scan = scan_and_judge_situation();
        if (is_stopping()) {
            return Next::Stop;
        }
        if (!single_device(scan) || !(scan.devices.first() == last_device)) {
            return Next::A0;
        }
    }
}

// A single unit is reserved before anything reads it; one that another run holds is left out of the result.
DFU::ScanResult SM_A::scan_and_judge_situation() {
    QString errors;
    bool const look = take_look_request();
    DFU::ScanResult scan = DFU::make_scan(&errors, serial_filter, capabilities);
    if (look && !is_stopping()) {
        tell_whether_written_units_absent(scan);
    }
    bus::Reservation const reservation = bus::names_one_unit(scan)
                                             ? reservations.reserve(scan.devices.first().serial)
                                             : bus::Reservation::not_tried;
    DFU::Failure const claimed = bus::names_one_unit(scan) && scan.devices.first() == claimed_unit
                                     ? claim_refusal
                                     : DFU::Failure::none;
    // Looked at only when no unit is listed, which is when the words would send the user to a power cable.
    bool const restart_elsewhere = scan.devices.isEmpty() && DFU::unit_lock::restart_elsewhere();
    bus::Situation const now = bus::judge(scan, errors, reservation, claimed, restart_elsewhere);
    if (reservation != bus::Reservation::taken && reservation != bus::Reservation::not_tried)
        scan.devices.clear();
    if (now != situation && !is_stopping()) {
        situation = now;
        qInfo() << "SM_A: listing situation" << now << "from dfu-util's standard error:" << errors.trimmed();
        emit sig_Situation(now);
    }
    if (scan.passed_over != passed_over && !is_stopping()) {
        passed_over = scan.passed_over;
        emit sig_PassedOver(passed_over);
    }
    return scan;
}

bool SM_A::single_device(DFU::ScanResult const& scan) const {
    return bus::names_one_unit(scan);
}
