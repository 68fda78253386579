#include "app/run_history.h"

#include "app/app.h"
#include "app/narration.h"
#include "history/image.h"
#include "history/local.h"
#include "history/plant.h"
#include "history/record.h"

#include <QSysInfo>
#include <QUuid>
#include <cstdio>
#include <utility>

namespace {

QString null_if_empty(QString const& text) {
    return text.isEmpty() ? QString() : text;
}

// dfu-util's own words of a failed step: the last line it printed.
QString last_line(QString const& output) {
    QStringList const lines = output.split('\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last().trimmed();
}

QDateTime now() {
    return QDateTime::currentDateTimeUtc();
}

// What a run tells of sending the records of `local` not yet sent: empty when every one went.
QString send_pending(QSqlDatabase const& local, QString const& url) {
    History::PlantDatabase const plant = History::plant_database(url);
    return History::sending_words(History::send_pending(local, plant), plant);
}

} // namespace

RunHistory::RunHistory(SM_A* worker, SM_B* machine, QObject* parent)
    : QObject(parent), worker(worker), machine(machine), draft(std::make_unique<History::Record>()) {
    tell = [](QString const& text) {
        std::fputs((text + "\n").toUtf8().constData(), stderr);
        std::fflush(stderr);
    };
    next_unit();
    draft->host = QSysInfo::machineHostName();
    draft->tool_version = UPDATER_VERSION;
    draft->dfu_util_release = null_if_empty(run_options.dfu_util_release);
    draft->image_revision = null_if_empty(settings.desired_FW_revision);
    draft->image_sha256 = null_if_empty(History::image_sha256());
    // Opened while the worker lists for the first time, before any unit is read, so that noting a write
    // costs nothing but one short insert, and the start-up nothing.
    connect(worker, &QThread::started, this, [this] { local(); });
    connect(machine, &SM_B::sig_DeviceConnected, this, &RunHistory::unit_read);
    connect(worker, &SM_A::sig_FwDownloading, this, &RunHistory::write_started);
    connect(worker, &SM_A::sig_FwDownloadFailed, this,
            [this](QString const& reason) { step_failed(reason); });
    connect(worker, &SM_A::sig_FwUploadIncomplete, this, &RunHistory::step_failed);
    connect(worker, &SM_A::sig_DeviceError, this, [this](QString const& output) {
        unit_seen = true;
        step_failed(last_line(output));
    });
}

// A sending under way when the window closes is waited for: at most the plant's connect timeout. The
// records stored meanwhile go too, unless the server did not take the last ones: they then all wait here.
RunHistory::~RunHistory() {
    if (sending) {
        sending->wait();
        tell_plant(*sending_words);
        if (send_again && sending_words->isEmpty() && opened && *opened)
            tell_plant(send_pending(opened->database, run_options.plant_db));
    }
    if (opened)
        History::close_local(opened.get());
}

// After a write, a read of another unit than the written one says nothing about it.
void RunHistory::unit_read() {
    DFU::DeviceInfo const& info = machine->connected_device_info;
    if (worker->awaits_other_unit_than(info.unit))
        return;
    QString const serial = info.unit.serial.trimmed().toUpper();
    if (verdict && serial != draft->serial)
        record_last();
    if (!unit_seen || first_read_time.isNull() || serial != draft->serial) {
        first_read_time = now();
        first_read_firmware = null_if_empty(info.FW_revision);
        draft->firmware_before = first_read_firmware;
        draft->dfu_util_message.clear();
    }
    unit_seen = true;
    draft->serial = serial;
    draft->usb_path = null_if_empty(info.unit.path);
    draft->product = null_if_empty(info.OTP_info.product_name());
    draft->firmware_after = null_if_empty(info.FW_revision);
}

// Noted while the write already runs, in case this process does not live to record it.
void RunHistory::write_started() {
    wrote = true;
    draft->firmware_after = QString();
    History::Record note = *draft;
    note.started_utc = unit_started;
    note.ended_utc = now();
    note.exit_code = words_of(Cause::not_verified).exit_code;
    note.outcome = words_of(Cause::not_verified).outcome;
    QString problem;
    told(History::note_write(&local(), note, &problem), problem);
}

void RunHistory::step_failed(QString const& message) {
    draft->dfu_util_message = null_if_empty(message);
}

void RunHistory::follow_window(Narrator* narrator) {
    window_narrator = narrator;
    connect(narrator, &Narrator::verdict, this, [this](Cause cause) { verdict = cause; });
    connect(machine, &SM_B::sig_UpgradeImpossible, this, &RunHistory::unit_left);
}

// A written unit leaves the bus to restart: it is still the unit at hand.
void RunHistory::unit_left() {
    if (verdict && worker->units_awaiting_verification().isEmpty())
        record_last();
}

void RunHistory::record_last() {
    if (!verdict)
        return;
    record(words_of(*verdict).exit_code, *verdict);
    next_unit();
}

void RunHistory::next_unit() {
    draft->id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    // A unit asked for by its serial is named even when it could not be read.
    draft->serial = null_if_empty(worker->serial_filter.toUpper());
    draft->usb_path = draft->product = QString();
    draft->firmware_before = draft->firmware_after = draft->dfu_util_message = QString();
    unit_started = now();
    first_read_time = QDateTime();
    first_read_firmware = QString();
    unit_seen = wrote = recorded = false;
    verdict.reset();
}

void RunHistory::record(int exit_code, Cause cause) {
    if (recorded || !unit_seen)
        return;
    recorded = true;
    History::Record record = *draft;
    record.started_utc = unit_started;
    record.ended_utc = now();
    record.exit_code = exit_code;
    record.outcome = words_of(cause).outcome;
    // A write an earlier run left is judged by this run's read-back, unless this run wrote the unit again.
    History::FirstRead first_read{first_read_time.isNull() ? record.ended_utc : first_read_time,
                                  first_read_firmware, record.outcome, exit_code};
    if (wrote) {
        first_read.exit_code = words_of(Cause::not_verified).exit_code;
        first_read.outcome = words_of(Cause::not_verified).outcome;
    }
    QString problem;
    told(History::store(&local(), record, first_read, &problem), problem);
    send_to_plant();
}

// After the record is stored, so never before the verdict. A run without a window has ended its unit and
// sends here; the window goes on, and a server that is gone must not hold it up.
void RunHistory::send_to_plant() {
    if (run_options.plant_db.isEmpty() || !*opened)
        return;
    if (window_narrator)
        send_in_background();
    else
        tell_plant(send_pending(opened->database, run_options.plant_db));
}

// The thread has a local connection of its own, and hands back only its words.
void RunHistory::send_in_background() {
    if (sending) {
        send_again = true;
        return;
    }
    QString const connection = "history-sending-" + QString::number(++sendings);
    QString const url = run_options.plant_db;
    sending_words = std::make_shared<QString>();
    std::shared_ptr<QString> const words = sending_words;
    sending.reset(QThread::create([connection, url, words] {
        History::Local local = History::open_local(History::local_path(), connection);
        *words = local ? send_pending(local.database, url) : QString();
        History::close_local(&local);
    }));
    connect(sending.get(), &QThread::finished, this, &RunHistory::sent_in_background, Qt::QueuedConnection);
    sending->start();
}

void RunHistory::sent_in_background() {
    sending->wait();
    sending.reset();
    tell_plant(*sending_words);
    if (std::exchange(send_again, false))
        send_in_background();
}

// Said once a run: the records wait here either way.
void RunHistory::tell_plant(QString const& words) {
    if (!words.isEmpty() && !std::exchange(plant_told, true))
        tell(words);
}

History::Local& RunHistory::local() {
    if (!opened)
        opened = std::make_unique<History::Local>(History::open_local(History::local_path()));
    return *opened;
}

// Each is said once a run.
void RunHistory::told(bool stored, QString const& problem) {
    if (!opened->set_aside.isEmpty()) {
        tell(QString("The history file %1 was damaged: it was kept as %2 and a new history was started.")
                 .arg(History::local_path(), opened->set_aside));
        opened->set_aside.clear();
    }
    if (!stored && !std::exchange(problem_told, true))
        tell(QString("This run could not be recorded in the history (%1); the upgrade and its result are "
                     "not affected.")
                 .arg(problem));
}
