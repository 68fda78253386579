// What crosses between the worker and the other threads: the orders for the current read, the stop and the
// quit, the record of the last read and the units awaiting verification. Each under the lock, briefly.
#include "control/sm_a.h"

#include <QDebug>
#include <chrono>
#include <utility>

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

} // namespace

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

qint64 SM_A::reserving_process() {
    return reservations.holder();
}
