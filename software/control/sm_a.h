#pragma once

#include "dfu/device_info.h"

#include <QString>
#include <QStringList>
#include <QThread>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// The one background thread: it alone talks to the device, polls for it, reads it and carries out the
// commands of the flow machine.
class SM_A : public QThread {
    Q_OBJECT

public:
    enum Command : int32_t { None = 0, Download = 1, UploadAndVerify = 2 };
    // What the listing says beyond the units it names.
    enum Situation : int32_t {
        Clear = 0,
        NoAccess = 1,     // a bootloader is attached, but this user may not open it
        SeveralUnits = 2, // more than one bootloader is attached
        NoDfuUtil = 3,    // dfu-util cannot be started
    };
    // The part of a transfer that dfu-util reports progress for.
    enum Step : int32_t { Erasing = 0, Writing = 1, ReadingBack = 2 };

    SM_A(QString desired_FW_dfu_path, QString desired_FW_bin_path, QString uploaded_FW_bin_path,
         QObject* parent = nullptr);
    ~SM_A() override;

    // Orders a command for the device read numbered `read_count` (DFU::DeviceInfo::read_count). The worker
    // carries it out only while that read is still the current one.
    void set_command(Command command, int read_count);
    Command get_command();
    void do_stop();
    bool is_stopping();
    // True while a download runs: a stop waits for it to finish.
    bool is_writing();
    // Stops without waiting for a download under way, which finishes on its own.
    void leave_write_running();
    // A consistent copy of the record of the last device read, safe to take on any thread.
    DFU::DeviceInfo device_info_snapshot();
    // The unit written last, until a read-back of that unit has judged it; empty serial when none.
    DFU::DeviceItem unit_awaiting_verification();
    // Whether a written unit awaits its verification and `unit` is another one.
    bool awaits_other_unit_than(DFU::DeviceItem const& unit);
    void enable_debug_output();

    int idle_delay_ms = 200;
    int poll_delay_ms = 200;
    // When set before the thread starts, only the unit with this USB serial exists for the worker: others
    // are never read or written, and do not count as a second device.
    QString serial_filter;

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
    // The write did not complete (dfu-util failed, or it outlived its time-out and was left running).
    void sig_FwDownloadFailed(QString reason);
    // The read-back did not complete: nothing is known about the flash; the unit is read afresh.
    void sig_FwUploadIncomplete(QString reason);
    // A unit other than the one written was read while the written one still awaits its verification.
    void sig_OtherUnitThanWritten();
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
    Next carry_out_upload_and_verify();
    void carry_out_download();
    void set_unit_awaiting_verification(DFU::DeviceItem const& unit);
    void set_writing(bool now);
    Command take_command_for_current_read();
    void drop_pending_command(char const* reason);
    void publish(DFU::DeviceInfo const& info);
    // Sleeps up to `ms`, returning at once on a stop request; true when stopping.
    bool pause(int ms);
    bool single_device(DFU::ScanResult const& scan) const;
    DFU::ScanResult scan_and_judge_situation();
    template <typename Run> static auto finished_before_termination(Run run);

    DFU::DeviceInfo device_info;
    QString desired_FW_dfu_path;
    QString desired_FW_bin_path;
    QString uploaded_FW_bin_path;
    // The unit of the last read, as listed: a new serial, port or device address means a new read.
    DFU::DeviceItem last_device;
    Command command = None;
    int command_read_count = 0;
    // Successful reads so far; device_info.read_count names the current one.
    int reads_done = 0;
    bool stopping = false;
    bool writing = false;
    bool leaving_write = false;
    DFU::DeviceItem written_unit;
    bool first_pass_done = false;
    bool previous_was_polling = false;
    Situation situation = Clear;
    QStringList passed_over;
    // Guards command, command_read_count, stopping, writing, leaving_write, written_unit and device_info;
    // never held across a dfu-util run. Standard rather than Qt primitives, so that the thread checker sees
    // every hand-over between the two threads.
    std::mutex mutex;
    std::condition_variable stop_requested;
};

// The worker of the running application; the flow machine's guards reach the device record through it.
extern SM_A* sm_A;
