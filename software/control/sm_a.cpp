#include "control/sm_a.h"

#include "dfu/firmware_transfer.h"
#include "dfu/unit_lock.h"
#include "files/files.h"

#include <QDebug>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <utility>

SM_A* sm_A = nullptr;

namespace {

char const* command_name(SM_A::Command command) {
    switch (command) {
    case SM_A::None:
        return "None";
    case SM_A::Download:
        return "Download";
    case SM_A::UploadAndVerify:
        return "UploadAndVerify";
    }
    return "?";
}

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

void SM_A::set_command(Command new_command, int read_count) {
    std::lock_guard<std::mutex> lock(mutex);
    command = new_command;
    command_read_count = read_count;
}

SM_A::Command SM_A::get_command() {
    std::lock_guard<std::mutex> lock(mutex);
    return command;
}

void SM_A::do_stop() {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
    stop_requested.notify_all();
}

bool SM_A::is_stopping() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopping;
}

bool SM_A::is_writing() {
    std::lock_guard<std::mutex> lock(mutex);
    return writing;
}

void SM_A::leave_write_running() {
    std::lock_guard<std::mutex> lock(mutex);
    leaving_write = true;
    stopping = true;
    stop_requested.notify_all();
}

DFU::DeviceInfo SM_A::device_info_snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return device_info;
}

QVector<DFU::DeviceItem> SM_A::units_awaiting_verification() {
    return written.all();
}

DFU::DeviceItem SM_A::unit_awaiting_verification() {
    return written.oldest();
}

void SM_A::forget_units_awaiting_verification() {
    written.clear();
}

void SM_A::look_for_written_units(bool held_as_absent) {
    std::lock_guard<std::mutex> lock(mutex);
    look_requested = true;
    held_counts_as_absent = held_counts_as_absent || held_as_absent;
}

void SM_A::set_writing(bool now) {
    std::lock_guard<std::mutex> lock(mutex);
    writing = now;
}

bool SM_A::begin_write() {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) {
        return false;
    }
    writing = true;
    return true;
}

bool SM_A::awaits_other_unit_than(DFU::DeviceItem const& unit) {
    return written.awaits_other_than(unit);
}

bool SM_A::take_look_request() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(look_requested, false);
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

void SM_A::enable_debug_output() {
    qInfo() << "SM_A: Adding connections to show debug output (state transitions)";
    auto const log_signal = [this](QString const& name, bool polling) {
        return [this, name, polling] {
            bool const repeated_poll = previous_was_polling && (name == "NoDevConn" || name == "scanning");
            if (!repeated_poll) {
                qDebug() << "SM_A: /sig_" + name;
            }
            previous_was_polling = polling;
        };
    };
    connect(this, &SM_A::sig_NoDevConn, this, log_signal("NoDevConn", true), Qt::DirectConnection);
    connect(this, &SM_A::sig_scanning, this, log_signal("scanning", true), Qt::DirectConnection);
    connect(this, &SM_A::sig_readingInfo, this, log_signal("readingInfo", false), Qt::DirectConnection);
    connect(this, &SM_A::sig_DevConn, this, log_signal("DevConn", false), Qt::DirectConnection);
    connect(this, &SM_A::sig_FwDownloading, this, log_signal("FwDownloading", false), Qt::DirectConnection);
    connect(this, &SM_A::sig_FwDownloaded, this, log_signal("FwDownloaded", false), Qt::DirectConnection);
    connect(this, &SM_A::sig_FwUploading, this, log_signal("FwUploading", false), Qt::DirectConnection);
    connect(this, &SM_A::sig_FwUploadedDiffers, this, log_signal("FwUploadedDiffers", false),
            Qt::DirectConnection);
    connect(this, &SM_A::sig_FwUploadedMatches, this, log_signal("FwUploadedMatches", false),
            Qt::DirectConnection);
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
    Situation const now = bus::judge_claim(refusal);
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
    if (watch.inherited.size() < 2)
        qWarning() << "SM_A: the write to" << unit.serial << "is not marked as a write for other runs";
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

SM_A::Command SM_A::take_command_for_current_read() {
    Command taken;
    int ordered_for;
    {
        std::lock_guard<std::mutex> lock(mutex);
        taken = command;
        ordered_for = command_read_count;
        command = None;
    }
    int const current = device_info.read_count;
    if (taken != None && (ordered_for != current || current == 0)) {
        qInfo().nospace() << "SM_A: dropping command " << command_name(taken) << " ordered for device read "
                          << ordered_for << ", the current device read is " << current;
        return None;
    }
    return taken;
}

void SM_A::drop_pending_command(char const* reason) {
    Command dropped;
    {
        std::lock_guard<std::mutex> lock(mutex);
        dropped = command;
        command = None;
    }
    if (dropped != None) {
        qInfo().nospace() << "SM_A: dropping pending command " << command_name(dropped) << " " << reason;
    }
}

void SM_A::publish(DFU::DeviceInfo const& info) {
    std::lock_guard<std::mutex> lock(mutex);
    device_info = info;
}

bool SM_A::pause(int ms) {
    std::unique_lock<std::mutex> lock(mutex);
    stop_requested.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    return stopping;
}

// A single unit is reserved before anything reads it; one that another run holds is left out of the result.
DFU::ScanResult SM_A::scan_and_judge_situation() {
    QString errors;
    bool const look = take_look_request();
    DFU::ScanResult scan = DFU::make_scan(&errors, serial_filter);
    if (look && !is_stopping()) {
        tell_whether_written_units_absent(scan);
    }
    bus::Reservation const reservation = bus::names_one_unit(scan)
                                             ? reservations.reserve(scan.devices.first().serial)
                                             : bus::Reservation::not_tried;
    DFU::Failure const claimed = bus::names_one_unit(scan) && scan.devices.first() == claimed_unit
                                     ? claim_refusal
                                     : DFU::Failure::none;
    Situation const now = bus::judge(scan, errors, reservation, claimed);
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

qint64 SM_A::reserving_process() {
    return reservations.holder();
}

// Whether the unit is listed in update mode right after a write that stopped part-way: it may have a new
// device address, not another serial or port.
bool SM_A::still_listed(DFU::DeviceItem const& unit) {
    DFU::ScanResult const scan = DFU::make_scan(nullptr, unit.serial);
    return std::any_of(scan.devices.begin(), scan.devices.end(),
                       [&](DFU::DeviceItem const& listed) { return listed.same_unit(unit); });
}

bool SM_A::single_device(DFU::ScanResult const& scan) const {
    return bus::names_one_unit(scan);
}
