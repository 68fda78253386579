#pragma once

#include "dfu/command.h"
#include "dfu/scan.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

namespace DFU {

// What a read-back tells about the firmware in the unit.
enum class Verification {
    matches,
    differs,
    // The read-back did not complete (dfu-util failed, or fewer bytes came than asked for): nothing is
    // known about the flash.
    unknown,
    // Another program had the unit claimed: nothing was read.
    unit_busy,
    // The unit refused to be claimed, and dfu-util did not say why: nothing was read.
    claim_refused,
    // The read-back could not be written here (no space, no permission): nothing is known about the flash,
    // and the unit is not to blame.
    local_failure,
    // The unit read could not be shown to be the one asked for: it was no longer listed with the device
    // address it was judged by, right before or right after the read. Nothing read is judged.
    unbound,
};

// One progress report of dfu-util: which step of a transfer, and how many bytes of it are done.
struct Progress {
    // dfu-util 0.9 erases each page just before writing it and reports both as its "Download" bar; later
    // releases erase first, with a bar of their own.
    enum class Step { erasing, writing, erasing_and_writing, reading_back };
    Step step = Step::erasing;
    qint64 bytes = 0;
};

// Reads a line of dfu-util's progress bar, e.g. "Download\t[=====   ]  20%  81920 bytes"; false for anything
// else.
bool parse_progress(QByteArray const& line, Progress* progress);

// Turns dfu-util's standard output, arriving in pieces, into progress reports. dfu-util redraws its bar
// after a carriage return; a bar is reported once it ends in its byte count and "bytes". A "Download" bar
// with no "Erase" bar before it is reported as erasing_and_writing.
class ProgressReader {
public:
    explicit ProgressReader(std::function<void(Progress const&)> report) : report(std::move(report)) {}
    void feed(QByteArray const& more_output);

private:
    void pass_on(Progress progress);

    std::function<void(Progress const&)> report;
    QByteArray pending;
    bool erase_seen = false;
};

// What a transfer tells while it runs, and (a write only) the descriptors its child keeps.
struct TransferWatch {
    std::function<void(Progress const&)> progress;
    std::function<void(int seconds)> still_running;
    std::vector<int> inherited;
};

// Writes the raw image to the unit's flash from its start and lets the unit leave DFU mode.
CommandResult download_FW_to_device(QString image_path, DeviceItem const& device,
                                    TransferWatch const& watch = {});
// Reads `size` bytes of flash from its start into `file_path`; a failure unless exactly `size` bytes came.
int upload_FW_from_device(QString file_path, int size, DeviceItem const& device,
                          TransferWatch const& watch = {});
// The same, with dfu-util's result (see local_failure for a failure on this side).
CommandResult upload_FW(QString file_path, int size, DeviceItem const& device,
                        TransferWatch const& watch = {});
// Size in bytes, or -1 when the file cannot be opened.
int size_of_binary_file(QString path);
// True when both files have the same non-zero size and the same bytes.
bool compare_FW_bin_files(QString path_a, QString path_b);
// Reads back as many bytes as the reference image holds from the unit and compares them with it. After a
// local failure, `local_problem` (when given) says where and why. A dfu-util that cannot be given the device
// address reads by serial and path only: a listing right before and right after the read must show the unit
// with its device address unchanged, as for a write.
Verification upload_and_compare_FW_bin(QString reference_path, QString upload_path, DeviceItem const& device,
                                       TransferWatch const& watch = {}, QString* local_problem = nullptr);

} // namespace DFU
