#pragma once

#include "control/bus_judgement.h"
#include "control/reservation.h"
#include "control/written_units.h"
#include "dfu/device_info.h"
#include "dfu/firmware_transfer.h"

#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// The one background thread: it alone talks to the device, polls for it, reads it and carries out the
// commands of the flow machine. Its loop is in sm_a.cpp, the write and the read-back in sm_a_transfers.cpp,
// what crosses threads in sm_a_orders.cpp; the bus's judgement, the reservations and the written units are
// units of their own.
class SM_A : public QThread {
    Q_OBJECT

public:
    enum Command : int32_t { None = 0, Download = 1, UploadAndVerify = 2 };
    // The part of a transfer that dfu-util reports progress for.
    // ErasingAndWriting: dfu-util erases each page as it writes and reports both together.
    enum Step : int32_t { Erasing = 0, Writing = 1, ReadingBack = 2, ErasingAndWriting = 3 };

    SM_A(QString desired_FW_dfu_path, QString desired_FW_bin_path, QString uploaded_FW_bin_path,
         QObject* parent = nullptr);
    ~SM_A() override;

    // Orders a command for the device read numbered `read_count` (DFU::DeviceInfo::read_count). The worker
    // carries it out only while that read is still the current one.
    void set_command(Command command, int read_count);
    // With ReservedByOther: the process seen holding the unit, 0 when the system does not show it.
    qint64 reserving_process();
    Command get_command();
    void do_stop();
    bool is_stopping();
    // True while a download runs: a stop waits for it to finish.
    bool is_writing();
    // Stops without waiting for a download under way, which finishes on its own.
    void leave_write_running();
    // A consistent copy of the record of the last device read, safe to take on any thread.
    DFU::DeviceInfo device_info_snapshot();
    // The units written, oldest first, until a read-back of each has judged it or it was told as not
    // verified.
    QVector<DFU::DeviceItem> units_awaiting_verification();
    // The oldest of them; empty serial when none.
    DFU::DeviceItem unit_awaiting_verification();
    // Whether `unit` was written and awaits its verification.
    bool awaits_unit(DFU::DeviceItem const& unit) { return written.contains(unit); }
    // Whether a written unit awaits its verification and `unit` is none of them.
    bool awaits_other_unit_than(DFU::DeviceItem const& unit);
    // Once the units awaiting verification were told as not verified.
    void forget_units_awaiting_verification();
    // Asks the worker to look at the bus once more: the next listing that starts after this call tells
    // whether a written unit is back to be read and verified, or sig_WrittenUnitsAbsent. With
    // `held_counts_as_absent`, a written unit back but held by another program is not waited for either.
    void look_for_written_units(bool held_counts_as_absent = false);
    void enable_debug_output();

    int idle_delay_ms = 200;
    // How often in a row a unit not found at its listed device address is listed and read again.
    static constexpr int max_renumbered_reads = 3;
    // How often a unit claimed by another program is tried again.
    int claimed_retry_ms = 500;
    int poll_delay_ms = 200;
    // When set before the thread starts, only the unit with this USB serial exists for the worker: others
    // are never read or written, and do not count as a second device.
    QString serial_filter;
    // Set before the thread starts: what the dfu-util in use can do, from its self-test.
    DFU::Capabilities capabilities;

signals:
    void sig_NoDevConn();
    void sig_DevConn();
    void sig_scanning();
    void sig_readingInfo();
    // A read of the device failed; `output` is what the failed dfu-util run printed (standard output, then
    // standard error).
    void sig_DeviceError(QString output);
    void sig_FwDownloading();
    void sig_FwDownloaded();
    void sig_FwUploading();
    void sig_FwUploadedDiffers();
    void sig_FwUploadedMatches();
    // Progress of the transfer under way, from dfu-util's own progress lines: `done` of `total` bytes of
    // `step` (a Step).
    void sig_Progress(int step, qint64 done, qint64 total);
    // The write under way still runs after `seconds` (told every few seconds): do not disconnect.
    void sig_FwStillWriting(int seconds);
    // The write stopped part-way (dfu-util failed before every byte went through). `still_listed`: the unit
    // was listed in update mode right after, so it can be installed again without restarting it.
    void sig_FwDownloadFailed(QString reason, bool still_listed);
    // The read-back did not complete: nothing is known about the flash; the unit is read afresh.
    void sig_FwUploadIncomplete(QString reason);
    // The written unit could not be shown to be the unit read back (another device address right before or
    // after the read): it is not judged, and no longer awaited.
    void sig_FwUploadUnbound();
    // A unit other than the one written was read while the written one still awaits its verification.
    void sig_OtherUnitThanWritten();
    // After look_for_written_units: the listing shows no written unit that the worker goes on to verify.
    // `in_use`: the written unit is listed, but another program holds it.
    void sig_WrittenUnitsAbsent(bool in_use);
    // A read could not be written into the private directory (no space, no permission): `where_and_why`
    // names the directory and the cause. Nothing about the unit follows from it.
    void sig_LocalFailure(QString where_and_why);
    // The listing's situation changed; emitted only on a change.
    void sig_Situation(int situation);
    // With serial_filter: the serials of the attached units while none has the serial asked for, empty
    // once one has it or none is attached; emitted only on a change.
    void sig_PassedOver(QStringList serials);
    void sig_A0_entered();
    void sig_A1_entered();
    void sig_A2_entered();
    void sig_A3_entered();
    void sig_A4_entered();
    void sig_A5_entered();
    void sig_A6_entered();
    void sig_A7_entered();

protected:
    void run() override;

private:
    enum class Next { A0, A2, A4, A7, Stop };

    Next at_A0();
    Next at_A1();
    Next at_A2();
    Next at_A4();
    Next at_A7();
    Next read_new_device(DFU::DeviceItem const& device);
    Next wait_while_claimed_elsewhere(DFU::DeviceItem const& device, DFU::Failure refusal);
    Next carry_out_upload_and_verify();
    void carry_out_download();
    // Marks a write as under way unless a stop was requested, in one step, so that a quit arriving now is
    // either seen here or waits for the write.
    bool begin_write();
    void set_writing(bool now);
    bool take_look_request();
    void tell_whether_written_units_absent(DFU::ScanResult const& scan);
    Command take_command_for_current_read();
    void drop_pending_command(char const* reason);
    void publish(DFU::DeviceInfo const& info);
    // Sleeps up to `ms`, returning at once on a stop request; true when stopping.
    bool pause(int ms);
    bool single_device(DFU::ScanResult const& scan) const;
    static bool still_listed(DFU::DeviceItem const& unit);
    DFU::ScanResult scan_and_judge_situation();
    DFU::TransferWatch transfer_watch(Step first_step);

    DFU::DeviceInfo device_info;
    QString desired_FW_dfu_path;
    QString desired_FW_bin_path;
    QString uploaded_FW_bin_path;
    // The unit of the last read, as listed: a new serial, port or device address means a new read.
    DFU::DeviceItem last_device;
    // The unit whose last read was refused because another program had it claimed; empty serial when none.
    DFU::DeviceItem claimed_unit;
    DFU::Failure claim_refusal = DFU::Failure::none;
    Command command = None;
    int command_read_count = 0;
    int renumbered_reads = 0;
    // Successful reads so far; device_info.read_count names the current one.
    int reads_done = 0;
    bool stopping = false;
    bool writing = false;
    bool leaving_write = false;
    WrittenUnits written;
    bool look_requested = false;
    bool held_counts_as_absent = false;
    bool first_pass_done = false;
    bool previous_was_polling = false;
    bus::Situation situation = bus::Clear;
    Reservations reservations;
    QStringList passed_over;
    // Guards command, command_read_count, stopping, writing, leaving_write, look_requested and device_info;
    // never held across a dfu-util run. Standard rather than Qt primitives, so that the thread checker sees
    // every hand-over between the two threads.
    std::mutex mutex;
    std::condition_variable stop_requested;
};

// The worker of the running application; the flow machine's guards reach the device record through it.
extern SM_A* sm_A;
