#include "app/narration.h"

#include <algorithm>

namespace {

// The phases of an upgrade as the progress bar shows them, with the time each is drawn over.
QString const download_caption = "Upgrading firmware";
QString const verify_caption = "Uploading & verifying";
QString const done_caption = "Done. Disconnect USB cable.";
QString const differs_caption = "FW differs";

// Hints about a passing condition of the bus or of one read: a good read of a unit ends them.
QStringList const passing_hints = {
    "hint_noAnswer",         "hint_couldNotVerify",     "hint_writeFailed",      "hint_noAccess",
    "hint_severalUnits",     "hint_noDfuUtil",          "hint_unitInUse",        "hint_writeFinishing",
    "hint_stillWriting",     "hint_claimFailed",        "hint_serialAbsent",     "hint_reservedByProcess",
    "hint_claimedElsewhere", "hint_writeStoppedListed", "hint_serialUnreadable", "hint_claimRefused"};

// Every place holder is filled in one pass, so that a "%1" within a serial or a dfu-util message stays as
// it is. The texts take at most three.
QString filled(QString const& text, QStringList const& args) {
    switch (args.size()) {
    case 0:
        return text;
    case 1:
        return text.arg(args[0]);
    case 2:
        return text.arg(args[0], args[1]);
    default:
        return text.arg(args[0], args[1], args[2]);
    }
}

} // namespace

// The bootloader erases and writes well above 16 KiB/s, erase included; at that rate, plus 5 s for the start
// and the first erase, a write that has not ended is clearly slower than usual and worth a word. Sooner,
// the notice would come with every normal write and read as a fault.
int normal_write_seconds(qint64 image_bytes) {
    constexpr qint64 conservative_bytes_per_second = 16 * 1024;
    return 5 + static_cast<int>(image_bytes / conservative_bytes_per_second);
}

int phase_percent(int step, qint64 done, qint64 total) {
    if (total <= 0)
        return 0;
    double const share = std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0);
    double const percent = step == SM_A::Erasing   ? 50.0 * share
                           : step == SM_A::Writing ? 50.0 + 50.0 * share
                                                   : 100.0 * share; // the whole phase in one bar
    return static_cast<int>(percent);
}

QString process_words(Settings::GUI const& texts, qint64 pid) {
    return pid > 0 ? texts.text("text_processId").arg(pid) : texts.text("text_processNotShown");
}

Narrator::Narrator(SM_A* worker, SM_B* machine, Settings::GUI const& texts, QObject* parent)
    : QObject(parent), worker(worker), machine(machine), texts(texts) {
    verify_wait.setSingleShot(true);
    connect(&verify_wait, &QTimer::timeout, this, &Narrator::on_verify_wait_over);
    connect(this, &Narrator::phase_started, this, [this](QString const& caption) {
        phase_shown = caption == download_caption ? Shown::download : Shown::verify;
    });
    for (auto ended : {&Narrator::phase_completed, &Narrator::phase_failed})
        connect(this, ended, this, [this] { phase_shown = Shown::nothing; });
    connect(this, &Narrator::phase_hidden, this, [this] { phase_shown = Shown::nothing; });
    connect_machine();
    connect_worker();
    follow_record();
}

// After a write the unit holds what was written: only this computer could not keep what was read of it.
Cause Narrator::local_cause() const {
    return written_unit.serial.isEmpty() ? Cause::local_failure : Cause::not_verified_local;
}

Cause Narrator::differs_cause() const {
    bool const unchanged = !revision_before_write.isEmpty() &&
                           machine->connected_device_info.FW_revision == revision_before_write;
    return !written_unit.serial.isEmpty() && !write_failed && unchanged ? Cause::differs_after_success
                                                                        : Cause::differs;
}

void Narrator::follow_record() {
    connect(machine, &SM_B::sig_DeviceConnected, this,
            [this] { record_read(machine->connected_device_info); });
    // A write dropped before it began wrote nothing and does not count.
    connect(worker, &SM_A::sig_FwDownloaded, this, [this] {
        written_unit = machine->connected_device_info.unit;
        run_record.firmware_after.clear();
    });
    for (auto verdict : {&SM_A::sig_FwUploadedMatches, &SM_A::sig_FwUploadedDiffers})
        connect(worker, verdict, this, [this] {
            if (written_unit.same_unit(machine->connected_device_info.unit))
                run_record.firmware_after = machine->connected_device_info.FW_revision;
        });
    connect(worker, &SM_A::sig_FwDownloadFailed, this,
            [this](QString const& reason) { run_record.dfu_util_message = reason; });
    connect(worker, &SM_A::sig_DeviceError, this, [this](QString const& output) {
        QStringList const lines = output.split('\n', Qt::SkipEmptyParts);
        run_record.dfu_util_message = lines.isEmpty() ? QString() : lines.last().trimmed();
    });
}

void Narrator::record_read(DFU::DeviceInfo const& info) {
    if (!written_unit.serial.isEmpty()) {
        return; // after the write, only the written unit's read-back tells its firmware
    }
    if (run_record.serial.isEmpty() || run_record.serial != info.unit.serial)
        run_record.firmware_before = info.FW_revision;
    run_record.serial = info.unit.serial;
    run_record.firmware_after = info.FW_revision;
}

QString Narrator::text(QString const& id, QStringList const& args) const {
    QString const terminal_id = id + "_terminal";
    return filled(texts.text(terminal_words && texts.contains(terminal_id) ? terminal_id : id), args);
}

bool Narrator::judging_another_unit() const {
    return worker->awaits_other_unit_than(machine->connected_device_info.unit);
}

void Narrator::tell_finishing_write() {
    leaving = true;
    tell_hint("hint_finishingWrite");
}

void Narrator::connect_machine() {
    connect(machine, &SM_B::sig_UpgradeImpossible, this, [this] {
        // The written unit leaves the bus to restart: the bar keeps the write's end over the button, and
        // the status line says what comes, since the cable texts of an empty bus read as a fault here.
        // A terminal has the restart hint's line already, and no button to cover.
        if (restarting) {
            if (terminal_words)
                emit phase_hidden();
            else
                emit status(text("status_restarting"));
            return;
        }
        // A write that ends any other way replaces its hint; this one found its unit gone and wrote nothing.
        if (hint_id == "hint_writing")
            tell_hint(QString());
        emit phase_hidden();
        show_no_unit();
    });
    connect(machine, &SM_B::sig_DeviceConnected, this, [this] {
        restarting = false;
        clear_passing_hint();
        show_connected();
    });
    connect(machine, &SM_B::sig_DifferingRevision, this, &Narrator::show_revision);
    // Started on entering the state, not on the click: a click where no download can follow starts nothing.
    connect(machine->B3, &QState::entered, this,
            [this] { start_phase(download_caption, download_seconds, SM_A::Erasing); });
    connect(machine, &SM_B::sig_UploadingVerifying, this, [this] {
        if (worker->units_awaiting_verification().isEmpty() || judging_another_unit())
            show_already_current();
        start_phase(verify_caption, verify_seconds, SM_A::ReadingBack);
    });
    connect(machine->B6, &QState::entered, this, &Narrator::on_matches);
    connect(machine->B7, &QState::entered, this, [this] {
        if (!judging_another_unit()) {
            verify_wait.stop();
        }
        show_revision();
        emit phase_failed(differs_caption);
        tell_hint(words_of(differs_cause()).hint_id);
    });
    // The window's title names the products; a terminal has none to point at.
    connect(machine->B8, &QState::entered, this, [this] {
        QString const products =
            Device::ProductInfo{SM_B::desired_ID}.product_name_full().replace("<br>", " and ");
        tell_hint(words_of(Cause::other_product).hint_id,
                  terminal_words ? QStringList{products} : QStringList{});
    });
    connect(machine->B9, &QState::entered, this,
            [this] { tell_hint(words_of(Cause::blank_record).hint_id); });
}

void Narrator::connect_worker() {
    connect(worker, &SM_A::sig_DeviceError, this, [this] { tell_hint(words_of(Cause::unreadable).hint_id); });
    connect(worker, &SM_A::sig_FwStillWriting, this, [this](int seconds) {
        if (hint_id != "hint_finishingWrite" && seconds >= normal_write_seconds(write_bytes))
            tell_hint("hint_stillWriting", {QString::number(seconds)});
    });
    connect(worker, &SM_A::sig_FwDownloadFailed, this, [this](QString const& reason, bool still_listed) {
        write_failed = true;
        tell_hint(still_listed ? "hint_writeStoppedListed" : "hint_writeFailed", {reason});
    });
    // From the start of the write until the verdict on the written unit, the user is told not to disconnect.
    connect(worker, &SM_A::sig_FwDownloading, this, [this] {
        write_failed = false;
        revision_before_write = machine->connected_device_info.FW_revision;
        tell_hint("hint_writing");
    });
    connect(worker, &SM_A::sig_FwDownloaded, this, [this] {
        // The bar keeps the download's end until the unit leaves; no later read moves it.
        phase_shown = Shown::nothing;
        verify_wait.start(verify_wait_ms);
        if (!write_failed && !leaving) {
            restarting = true;
            if (!terminal_words)
                emit phase_completed(text("bar_restarting"));
            tell_hint("hint_restarting");
        }
    });
    connect(worker, &SM_A::sig_FwUploadIncomplete, this,
            [this] { tell_hint(words_of(Cause::could_not_verify).hint_id); });
    connect(worker, &SM_A::sig_FwUploadUnbound, this, [this] {
        verify_wait.stop();
        tell_hint(words_of(Cause::not_verified_unbound).hint_id);
    });
    connect(worker, &SM_A::sig_OtherUnitThanWritten, this,
            [this] { tell_hint("hint_otherUnit", {worker->unit_awaiting_verification().serial}); });
    connect(worker, &SM_A::sig_Situation, this, &Narrator::on_situation);
    connect(worker, &SM_A::sig_WrittenUnitsAbsent, this, &Narrator::on_written_units_absent);
    connect(worker, &SM_A::sig_LocalFailure, this, [this](QString const& where_and_why) {
        tell_hint(words_of(local_cause()).hint_id, {where_and_why});
    });
    connect(worker, &SM_A::sig_Progress, this, &Narrator::on_progress);
    connect(worker, &SM_A::sig_PassedOver, this, &Narrator::on_passed_over);
}

void Narrator::on_passed_over(QStringList const& serials) {
    attached_instead = serials;
    if (!serials.isEmpty())
        tell_hint("hint_serialAbsent", {worker->serial_filter, serials.join(", ")});
    else if (hint_id == "hint_serialAbsent")
        tell_hint(QString());
    if (machine->B1->active() && !restarting)
        show_no_unit();
}

void Narrator::on_progress(int step, qint64 done, qint64 total) {
    bool const reading_back = step == SM_A::ReadingBack;
    if (!reading_back && total > 0)
        write_bytes = total;
    if ((phase_shown == Shown::download && !reading_back) || (phase_shown == Shown::verify && reading_back)) {
        bytes_reported = true;
        emit progress(step, phase_percent(step, done, total), done, total);
    }
}

// Once dfu-util has reported its bytes in this run, it will again: the phase waits at 0 for them instead of
// filling over a time that a pause before the transfer would outrun.
void Narrator::start_phase(QString const& caption, double seconds, int first_step) {
    emit phase_started(caption, seconds);
    if (bytes_reported)
        emit progress(first_step, 0, 0, 0);
}

void Narrator::tell_hint(QString const& id, QStringList const& args) {
    hint_id = id;
    emit hint(id.isEmpty() ? QString() : text("hint", {text(id, args)}));
}

void Narrator::clear_passing_hint() {
    if (passing_hints.contains(hint_id)) {
        tell_hint(QString());
    }
}

QString Narrator::product_name() const {
    Device::OTP_Info const& record = machine->connected_device_info.OTP_info;
    return terminal_words && record.blank ? text("product_blank") : record.product_name();
}

void Narrator::show_connected() {
    emit status(text("status_devConn", {product_name()}));
}

void Narrator::show_already_current() {
    QString const revision = machine->connected_device_info.FW_revision;
    emit status(text("status_alreadyCurrent", {product_name(), revision}));
}

void Narrator::show_revision() {
    DFU::DeviceInfo const& info = machine->connected_device_info;
    if (terminal_words && info.OTP_info.blank) {
        // No product, so no firmware of one to speak of.
        show_connected();
        return;
    }
    QString const product = product_name();
    if (info.FW_revision.isEmpty()) {
        emit status(text("status_devRevUnknown", {product}));
    } else {
        emit status(text("status_devRev", {product, info.FW_revision}));
    }
}

// A unit that already holds the firmware is no proof for the unit that was written.
void Narrator::on_matches() {
    if (judging_another_unit()) {
        emit phase_completed(text("bar_otherUnitCurrent"));
        tell_hint("hint_otherUnit", {worker->unit_awaiting_verification().serial});
    } else {
        verify_wait.stop();
        emit phase_completed(done_caption);
        tell_hint(QString());
    }
    show_revision();
}

void Narrator::follow_verdicts() {
    connect(machine->B6, &QState::entered, this, [this] { tell_verdict(Cause::matches); });
    // Before a write, a difference is what the install is offered for.
    connect(machine->B7, &QState::entered, this, [this] {
        if (!written_unit.serial.isEmpty())
            tell_verdict(differs_cause());
    });
    connect(machine->B8, &QState::entered, this, [this] { tell_verdict(Cause::other_product); });
    connect(machine->B9, &QState::entered, this, [this] { tell_verdict(Cause::blank_record); });
    // After a write, a unit that cannot be read again holds what was written, only not verified.
    connect(worker, &SM_A::sig_DeviceError, this, [this] {
        emit verdict(written_unit.serial.isEmpty() ? Cause::unreadable : Cause::could_not_verify);
    });
    connect(worker, &SM_A::sig_FwDownloadFailed, this,
            [this](QString const& reason) { emit verdict(Cause::write_failed, {reason}); });
    connect(worker, &SM_A::sig_FwUploadIncomplete, this, [this] { tell_verdict(Cause::could_not_verify); });
    connect(worker, &SM_A::sig_FwUploadUnbound, this, [this] { emit verdict(Cause::not_verified_unbound); });
    connect(worker, &SM_A::sig_LocalFailure, this,
            [this](QString const& where_and_why) { emit verdict(local_cause(), {where_and_why}); });
}

void Narrator::tell_verdict(Cause cause) {
    if (!judging_another_unit())
        emit verdict(cause);
}

// A unit that is attached but cannot be used has its hint; the cable's words would send the user to
// restart a unit that may be in the middle of a write, and so would they while another run's written unit
// restarts, off the bus.
QString Narrator::no_unit_status() const {
    if (situation == bus::RestartingElsewhere)
        return "status_restartingElsewhere";
    return situation == bus::Clear && attached_instead.isEmpty() ? "status_noDev" : "status_unitAttached";
}

void Narrator::show_no_unit() {
    emit status(text(no_unit_status()));
}

void Narrator::on_situation(int now) {
    QString const shown = no_unit_status();
    situation = now;
    if (no_unit_status() != shown && machine->B1->active() && !restarting)
        show_no_unit();
    if (situation == bus::Clear) {
        clear_passing_hint();
        return;
    }
    Cause const cause = cause_of(static_cast<bus::Situation>(situation));
    QStringList args;
    if (cause == Cause::reserved_by_other_process)
        args << process_words(texts, worker->reserving_process());
    tell_hint(words_of(cause).hint_id, args);
}

bool Narrator::written_unit_outstanding() const {
    bool const verifying_written_unit = machine->B4->active() && !judging_another_unit();
    return !worker->units_awaiting_verification().isEmpty() && !verifying_written_unit;
}

// The time may have passed while this process was held (stopped, or the machine busy) and the unit came
// back meanwhile: the worker looks at the bus once more before anything is told.
void Narrator::on_verify_wait_over() {
    if (written_unit_outstanding()) {
        worker->look_for_written_units();
    }
}

void Narrator::on_written_units_absent(bool in_use) {
    if (!written_unit_outstanding()) {
        return;
    }
    worker->forget_units_awaiting_verification();
    // Nothing restarts any more: the bus is empty, as the status line and the button now say.
    if (restarting) {
        restarting = false;
        emit phase_hidden();
        show_no_unit();
    }
    Cause const cause = in_use ? Cause::not_verified_in_use : Cause::not_verified;
    tell_hint(words_of(cause).hint_id);
    emit verdict(cause);
}
