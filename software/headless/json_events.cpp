#include "headless/json_events.h"

#include "app/causes.h"

#include "app/exit_codes.h"
#include "app/narration.h"
#include "history/image.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace json_events {

QJsonValue text_or_null(QString const& text) {
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

namespace {

QJsonObject about_unit(QString const& event, DFU::DeviceItem const& unit) {
    return {{"event", event},
            {"serial", text_or_null(unit.serial)},
            {"path", text_or_null(unit.path)},
            {"address", text_or_null(unit.devnum)}};
}

} // namespace

FILE* open_stream(bool json) {
    if (!json)
        return nullptr;
    std::fflush(stdout);
    // Close-on-exec: a dfu-util child, above all a write left running, must not keep the caller's pipe open.
    int const events = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (events < 0)
        return nullptr;
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    return ::fdopen(events, "w");
}

void write(FILE* stream, QJsonObject const& event) {
    if (!stream)
        return;
    std::fputs(QJsonDocument(event).toJson(QJsonDocument::Compact).append('\n').constData(), stream);
    std::fflush(stream);
}

QJsonObject unit_seen(DFU::DeviceItem const& unit, QString const& product, QString const& firmware) {
    QJsonObject event = about_unit("unit", unit);
    event["product"] = text_or_null(product);
    event["firmware"] = text_or_null(firmware);
    return event;
}

QJsonObject judgement(DFU::DeviceItem const& unit, QString const& judgement) {
    QJsonObject event = about_unit("judgement", unit);
    event["judgement"] = judgement;
    return event;
}

QJsonObject phase(QString const& serial, QString const& phase, int progress, QString const& step,
                  qint64 bytes, qint64 total) {
    auto const count_or_null = [](qint64 count) { return count < 0 ? QJsonValue() : QJsonValue(count); };
    // A dfu-util may report more bytes than the image holds; a reader is promised bytes <= total.
    if (total >= 0)
        bytes = std::min(bytes, total);
    return {{"event", "phase"},
            {"serial", text_or_null(serial)},
            {"phase", phase},
            {"progress", std::clamp(progress, 0, 100)},
            {"step", text_or_null(step)},
            {"bytes", count_or_null(bytes)},
            {"total", count_or_null(total)}};
}

QJsonObject result(int exit_code, QString const& outcome) {
    return {{"event", "result"},
            {"exit_code", exit_code},
            {"outcome", outcome},
            {"image_sha256", text_or_null(History::image_sha256())}};
}

} // namespace json_events

namespace {

// Like the text bar, the progress within a phase follows the bytes dfu-util reports, and is estimated from
// the time the phase usually takes until it reports; 100 comes only when the phase has finished.
constexpr int progress_step = 10;
constexpr int highest_estimate = 90;
constexpr int highest_by_bytes = 99;

QString step_name(int step) {
    switch (step) {
    case SM_A::Erasing:
        return "erase";
    case SM_A::Writing:
    case SM_A::ErasingAndWriting:
        return "write";
    case SM_A::ReadingBack:
        return "read-back";
    }
    return {};
}

QString phase_of_step(int step) {
    return step == SM_A::ReadingBack ? "verify" : "download";
}

} // namespace

JsonRunEvents::JsonRunEvents(SM_A* worker, SM_B* machine, Narrator* narrator, FILE* stream, QObject* parent)
    : QObject(parent), worker(worker), machine(machine), narrator(narrator), stream(stream) {
    connect(&timer, &QTimer::timeout, this, &JsonRunEvents::tick);
    connect(narrator, &Narrator::progress, this, &JsonRunEvents::follow);
    connect_machine();
}

void JsonRunEvents::connect_machine() {
    connect(machine, &SM_B::sig_DeviceConnected, this, &JsonRunEvents::unit_connected);
    connect(machine->B2, &QState::entered, this, [this] { judged("upgrade"); });
    connect(machine->B4, &QState::entered, this, [this] {
        judged("current");
        start_phase("verify", Narrator::verify_seconds);
    });
    connect(machine->B8, &QState::entered, this, [this] { judged("other-product"); });
    connect(machine->B9, &QState::entered, this, [this] { judged("blank-record"); });
    connect(machine, &SM_B::sig_DoDownload, this,
            [this] { start_phase("download", Narrator::download_seconds); });
    connect(worker, &SM_A::sig_FwDownloadFailed, this, &JsonRunEvents::close_phase);
    connect(worker, &SM_A::sig_FwDownloaded, this, &JsonRunEvents::end_phase);
    connect(worker, &SM_A::sig_FwUploadedMatches, this, &JsonRunEvents::end_phase);
    connect(worker, &SM_A::sig_FwUploadedDiffers, this, &JsonRunEvents::end_phase);
    connect(worker, &SM_A::sig_FwUploadIncomplete, this, &JsonRunEvents::close_phase);
    // A download dropped because the unit left wrote nothing: that phase ends without a 100.
    connect(machine, &SM_B::sig_UpgradeImpossible, this, &JsonRunEvents::close_phase);
}

QString JsonRunEvents::serial() const {
    return machine->connected_device_info.unit.serial;
}

void JsonRunEvents::unit_connected() {
    DFU::DeviceInfo const& info = machine->connected_device_info;
    json_events::write(stream,
                       json_events::unit_seen(info.unit, info.OTP_info.product_name(), info.FW_revision));
}

void JsonRunEvents::judged(QString const& judgement) {
    json_events::write(stream, json_events::judgement(machine->connected_device_info.unit, judgement));
}

void JsonRunEvents::start_phase(QString const& name, double seconds) {
    phase_name = name;
    progress.start(static_cast<int>(seconds * 1000));
    step_name.clear();
    step_done = step_total = -1;
    // Once dfu-util has reported bytes in this run, the phase waits for its own, as the bars do.
    if (!narrator->reports_bytes())
        timer.start(std::max(50, progress.duration() / (100 / progress_step)));
    json_events::write(stream, json_events::phase(serial(), phase_name, 0));
}

void JsonRunEvents::tick() {
    int const before = progress.shown();
    if (progress.by_time(highest_estimate, progress_step) > before)
        json_events::write(stream, json_events::phase(serial(), phase_name, progress.shown()));
}

// Once the phase reports its bytes, the estimate from the time is no longer drawn.
void JsonRunEvents::follow(int step, int percent, qint64 done, qint64 total) {
    if (phase_name.isEmpty() || phase_of_step(step) != phase_name)
        return;
    timer.stop();
    if (total <= 0)
        return;
    bool const new_step = ::step_name(step) != step_name;
    step_name = ::step_name(step);
    step_done = done;
    step_total = total;
    // 100 only once the phase has ended, as the schema promises.
    int const before = progress.shown();
    if (progress.by_work(std::min(highest_by_bytes, percent)) <= before && !new_step)
        return;
    json_events::write(
        stream, json_events::phase(serial(), phase_name, progress.shown(), step_name, step_done, step_total));
}

// A phase that failed has been closed already and ends the run; it never reaches 100.
void JsonRunEvents::end_phase() {
    if (phase_name.isEmpty())
        return;
    timer.stop();
    json_events::write(stream,
                       json_events::phase(serial(), phase_name, 100, step_name, step_done, step_total));
    phase_name.clear();
}

void JsonRunEvents::close_phase() {
    timer.stop();
    phase_name.clear();
}

void JsonRunEvents::finished(int exit_code, Cause cause) {
    close_phase();
    QJsonObject event = json_events::result(exit_code, words_of(cause).outcome);
    RunRecord const& record = narrator->record();
    event["serial"] = json_events::text_or_null(record.serial);
    event["firmware_before"] = json_events::text_or_null(record.firmware_before);
    event["firmware_after"] = json_events::text_or_null(record.firmware_after);
    json_events::write(stream, event);
    // The result is the last event.
    stream = nullptr;
}
