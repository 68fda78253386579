#include "dfu/firmware_transfer.h"

#include "dfu/device_info.h"
#include "dfu/dfu_util.h"

#include <QFile>
#include <QRegularExpression>

#include <memory>

namespace DFU {

namespace {

// A progress report ends at the next carriage return or line feed.
bool is_separator(char c) {
    return c == '\r' || c == '\n';
}

// Watches the run's output for progress only when someone listens.
RunWatch run_watch(TransferWatch const& watch, std::shared_ptr<ProgressReader> const& reader) {
    RunWatch run;
    if (watch.progress)
        run.output = [reader](QByteArray const& more) { reader->feed(more); };
    run.still_running = watch.still_running;
    run.inherited = watch.inherited;
    return run;
}

} // namespace

bool parse_progress(QByteArray const& line, Progress* progress) {
    static QRegularExpression const bar(
        "^\\s*(Erase|Download|Upload)\\s*\\[[= ]*\\]\\s+(\\d{1,3})%\\s+(\\d{1,12}) bytes\\s*$");
    QRegularExpressionMatch const match = bar.match(QString::fromLatin1(line));
    if (!match.hasMatch())
        return false;
    QString const word = match.captured(1);
    progress->step = word == "Erase"      ? Progress::Step::erasing
                     : word == "Download" ? Progress::Step::writing
                                          : Progress::Step::reading_back;
    progress->bytes = match.captured(3).toLongLong();
    return true;
}

void ProgressReader::pass_on(Progress progress) {
    erase_seen = erase_seen || progress.step == Progress::Step::erasing;
    if (progress.step == Progress::Step::writing && !erase_seen)
        progress.step = Progress::Step::erasing_and_writing;
    report(progress);
}

void ProgressReader::feed(QByteArray const& more_output) {
    pending += more_output;
    int start = 0;
    for (int i = 0; i < pending.size(); ++i) {
        if (!is_separator(pending[i]))
            continue;
        Progress progress;
        if (i > start && parse_progress(pending.mid(start, i - start), &progress))
            pass_on(progress);
        start = i + 1;
    }
    pending.remove(0, start);
    // dfu-util puts the separator before each redraw: a bar that ends in its "bytes" is complete already.
    Progress progress;
    if (parse_progress(pending, &progress)) {
        pass_on(progress);
        pending.clear();
    }
    // A line without an end in sight is no progress bar: drop it rather than grow.
    if (pending.size() > 4096)
        pending.clear();
}

// A dfu-util that cannot be given the device address is preceded by a listing that must show it unchanged.
// A unit plugged in after that listing cannot take the judged one's place before the write opens its unit:
// USB gives a new device an address no sooner than 100 ms after it is connected, and the write starts a
// few milliseconds after the listing.
CommandResult download_FW_to_device(QString image_path, DeviceItem const& device,
                                    TransferWatch const& watch) {
    if (!device.by_devnum && !listed_as_judged(device)) {
        qInfo().noquote() << "The unit" << device.serial << device.path
                          << "is no longer listed with device address" << device.devnum
                          << "; nothing is written";
        CommandResult gone;
        gone.exit_code = -1;
        gone.failure = Failure::unit_not_found;
        return gone;
    }
    auto const reader = std::make_shared<ProgressReader>(watch.progress);
    return run_command(CmdID::download_FW, QStringList{image_path} + unit_args(device),
                       run_watch(watch, reader));
}

CommandResult upload_FW(QString file_path, int size, DeviceItem const& device, TransferWatch const& watch) {
    QStringList const args = {"-s", QString("0x08000000:%1").arg(size), "-U", file_path};
    auto const reader = std::make_shared<ProgressReader>(watch.progress);
    return upload_exactly(CmdID::upload_FW, args, file_path, size, device, run_watch(watch, reader));
}

int upload_FW_from_device(QString file_path, int size, DeviceItem const& device, TransferWatch const& watch) {
    return upload_FW(file_path, size, device, watch).exit_code;
}

int size_of_binary_file(QString path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return static_cast<int>(file.size());
}

bool compare_FW_bin_files(QString path_a, QString path_b) {
    int const size_a = size_of_binary_file(path_a);
    if (size_a <= 0 || size_of_binary_file(path_b) != size_a) {
        return false;
    }
    QFile file_a(path_a);
    QFile file_b(path_b);
    if (!file_a.open(QIODevice::ReadOnly) || !file_b.open(QIODevice::ReadOnly)) {
        return false;
    }
    return file_a.readAll() == file_b.readAll();
}

Verification upload_and_compare_FW_bin(QString reference_path, QString upload_path, DeviceItem const& device,
                                       TransferWatch const& watch, QString* local_problem) {
    int const size = size_of_binary_file(reference_path);
    if (size <= 0) {
        return Verification::unknown;
    }
    bool const bound_by_listing = !device.by_devnum;
    if (bound_by_listing && !listed_as_judged(device))
        return Verification::unbound;
    CommandResult const upload = upload_FW(upload_path, size, device, watch);
    // A unit that came back with another device address may be another unit in the same port.
    if (upload.failure == Failure::unit_not_found || (bound_by_listing && !listed_as_judged(device))) {
        qInfo().noquote() << "The unit" << device.serial << device.path
                          << "is no longer listed with device address" << device.devnum
                          << "; what was read back is not judged";
        return Verification::unbound;
    }
    if (QString const problem = local_failure(upload); !problem.isEmpty()) {
        if (local_problem) {
            *local_problem = problem;
        }
        return Verification::local_failure;
    }
    if (refused_claim(upload.failure)) {
        return upload.failure == Failure::unit_busy ? Verification::unit_busy : Verification::claim_refused;
    }
    if (upload.exit_code != 0) {
        return Verification::unknown;
    }
    return compare_FW_bin_files(reference_path, upload_path) ? Verification::matches : Verification::differs;
}

} // namespace DFU
