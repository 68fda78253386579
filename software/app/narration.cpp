#include "app/narration.h"

namespace {

// The phases of an upgrade as the progress bar shows them, with the time each is drawn over.
QString const download_caption = "Upgrading firmware";
QString const verify_caption = "Uploading & verifying";
QString const done_caption = "Done. Disconnect USB cable.";
QString const differs_caption = "FW differs";

// Hints about a passing condition of the bus or of one read: a good read of a unit ends them.
QStringList const passing_hints = {
    "hint_noAnswer",  "hint_couldNotVerify", "hint_writeFailed",    "hint_noAccess",     "hint_severalUnits",
    "hint_noDfuUtil", "hint_unitInUse",      "hint_writeFinishing", "hint_stillWriting", "hint_claimFailed"};

} // namespace

Narrator::Narrator(SM_A* worker, SM_B* machine, Settings::GUI const& texts, QObject* parent)
    : QObject(parent), worker(worker), machine(machine), texts(texts) {
    verify_wait.setSingleShot(true);
    connect(&verify_wait, &QTimer::timeout, this, &Narrator::on_verify_wait_over);
    connect_machine();
    connect_worker();
}

QString Narrator::text(QString const& id, QStringList const& args) const {
    QString result = texts.text(id);
    for (QString const& arg : args) {
        result = result.arg(arg);
    }
    return result;
}

bool Narrator::judging_another_unit() const {
    return worker->awaits_other_unit_than(machine->connected_device_info.unit);
}

void Narrator::tell_finishing_write() {
    tell_hint("hint_finishingWrite");
}

void Narrator::connect_machine() {
    connect(machine, &SM_B::sig_UpgradeImpossible, this, [this] {
        emit phase_hidden();
        emit status(text("status_noDev"));
    });
    connect(machine, &SM_B::sig_DeviceConnected, this, [this] {
        clear_passing_hint();
        emit status(text("status_devConn", {machine->connected_device_info.OTP_info.product_name()}));
    });
    connect(machine, &SM_B::sig_DifferingRevision, this, &Narrator::show_revision);
    // Started on entering the state, not on the click: a click where no download can follow starts nothing.
    connect(machine->B3, &QState::entered, this,
            [this] { emit phase_started(download_caption, download_seconds); });
    connect(machine, &SM_B::sig_UploadingVerifying, this,
            [this] { emit phase_started(verify_caption, verify_seconds); });
    connect(machine->B6, &QState::entered, this, &Narrator::on_matches);
    connect(machine->B7, &QState::entered, this, [this] {
        if (!judging_another_unit()) {
            verify_wait.stop();
        }
        show_revision();
        emit phase_failed(differs_caption);
        tell_hint("hint_differs");
    });
    connect(machine->B8, &QState::entered, this, [this] { tell_hint("hint_otherProduct"); });
    connect(machine->B9, &QState::entered, this, [this] { tell_hint("hint_blank"); });
}

void Narrator::connect_worker() {
    connect(worker, &SM_A::sig_DeviceError, this, [this] { tell_hint("hint_noAnswer"); });
    connect(worker, &SM_A::sig_FwDownloadFailed, this,
            [this](QString const& reason) { tell_hint("hint_writeFailed", {reason}); });
    connect(worker, &SM_A::sig_FwStillWriting, this, [this](int seconds) {
        if (hint_id != "hint_finishingWrite")
            tell_hint("hint_stillWriting", {QString::number(seconds)});
    });
    connect(worker, &SM_A::sig_FwDownloaded, this, [this] {
        if (hint_id == "hint_stillWriting")
            tell_hint(QString());
        verify_wait.start(verify_wait_ms);
    });
    connect(worker, &SM_A::sig_FwUploadIncomplete, this, [this] { tell_hint("hint_couldNotVerify"); });
    connect(worker, &SM_A::sig_OtherUnitThanWritten, this,
            [this] { tell_hint("hint_otherUnit", {worker->unit_awaiting_verification().serial}); });
    connect(worker, &SM_A::sig_Situation, this, &Narrator::on_situation);
    connect(worker, &SM_A::sig_WrittenUnitsAbsent, this, &Narrator::on_written_units_absent);
    connect(worker, &SM_A::sig_LocalFailure, this,
            [this](QString const& where_and_why) { tell_hint("hint_localWrite", {where_and_why}); });
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

void Narrator::show_revision() {
    DFU::DeviceInfo const& info = machine->connected_device_info;
    QString const product = info.OTP_info.product_name();
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

void Narrator::on_situation(int situation) {
    switch (situation) {
    case SM_A::NoAccess:
        tell_hint("hint_noAccess");
        break;
    case SM_A::SeveralUnits:
        tell_hint("hint_severalUnits");
        break;
    case SM_A::NoDfuUtil:
        tell_hint("hint_noDfuUtil");
        break;
    case SM_A::UnitInUse:
        tell_hint("hint_unitInUse");
        break;
    case SM_A::WriteFinishing:
        tell_hint("hint_writeFinishing");
        break;
    case SM_A::ReservationFailed:
        tell_hint("hint_claimFailed");
        break;
    default:
        clear_passing_hint();
        break;
    }
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

void Narrator::on_written_units_absent() {
    if (!written_unit_outstanding()) {
        return;
    }
    worker->forget_units_awaiting_verification();
    tell_hint("hint_notVerified");
    emit not_verified();
}
