#pragma once

#include "app/causes.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "gui/settings.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// The share of its phase that `done` of `total` bytes of a step make: the download's erase and write take
// half each, the verify's read-back all of it.
int phase_percent(int step, qint64 done, qint64 total);
// How long a write of an image of `image_bytes` may take before it is told as slower than usual.
int normal_write_seconds(qint64 image_bytes);

// The process seen holding a unit or the bus, as the texts name it.
QString process_words(Settings::GUI const& texts, qint64 pid);

// Decides what the user is told at each moment of the flow, for the window and the run without a window
// alike: the status line, the running phase, and a hint that says what happened and what to do. The
// texts come from the settings file.
class Narrator : public QObject {
    Q_OBJECT

public:
    Narrator(SM_A* worker, SM_B* machine, Settings::GUI const& texts, QObject* parent = nullptr);

    // A text of the settings file with its place holders filled in; with terminal_words, its variant
    // "<id>_terminal" where the settings file has one.
    QString text(QString const& id, QStringList const& args = {}) const;
    // After a download, whether the unit now judged is another one than the unit that was written.
    bool judging_another_unit() const;
    // With a serial asked for and no unit with it: the serials of the units attached instead.
    QStringList passed_over() const { return attached_instead; }
    // Whether dfu-util has reported the bytes of a transfer in this run: then every phase follows them.
    bool reports_bytes() const { return bytes_reported; }
    // Tells that a quit waits for the write under way, and how long that takes at most.
    void tell_finishing_write();
    // Makes the verdict signals; called by whoever ends the unit, once everything else that follows the
    // flow is connected, so that each of them has seen the moment when its verdict comes.
    void follow_verdicts();
    // The run's unit so far, as its end reports it.
    RunRecord const& record() const { return run_record; }

    // The time each phase of an upgrade is drawn over, for every way progress is shown.
    static constexpr double download_seconds = 60.0;
    static constexpr double verify_seconds = 0.5;

    // How long after a download the written unit may take to come back and be verified.
    int verify_wait_ms = 30000;
    // Words for a terminal rather than the window: no clicks, buttons, numbered steps or title to point at.
    bool terminal_words = false;

signals:
    void status(QString const& rich_text);
    // Empty when there is nothing to add.
    void hint(QString const& rich_text);
    void phase_started(QString const& caption, double seconds);
    void phase_completed(QString const& caption);
    void phase_failed(QString const& caption);
    void phase_hidden();
    // The running phase's progress from the bytes dfu-util reports: `done` of `total` bytes of `step` (an
    // SM_A::Step), and `percent` of the phase; `total` 0 when the phase has just started and waits for its
    // first report. Where no report comes, the phase is drawn over its usual time as before.
    void progress(int step, int percent, qint64 done, qint64 total);
    // The unit at hand is decided, after its hint: every verdict of the flow on it becomes a cause here,
    // with the place holders of its result words. After a write, only the written unit is decided.
    void verdict(Cause cause, QStringList const& args = {});

private:
    // Why the written unit's read-back differs: a write that dfu-util reported complete, after which the
    // unit holds the revision it held before, wrote nothing.
    Cause differs_cause() const;
    // Why this computer's failure to store a read ends the run: before any write, or after one.
    Cause local_cause() const;
    void connect_machine();
    void connect_worker();
    void tell_hint(QString const& id, QStringList const& args = {});
    void clear_passing_hint();
    void show_revision();
    void show_connected();
    void show_already_current();
    // The product of the connected unit as the status line names it.
    QString product_name() const;
    void on_matches();
    // A verdict that counts only for the written unit, once a unit was written.
    void tell_verdict(Cause cause);
    void on_situation(int situation);
    void on_verify_wait_over();
    void on_written_units_absent(bool in_use);
    // The status line while no unit is being worked on: the cable's words only when no unit is attached.
    void show_no_unit();
    QString no_unit_status() const;
    // A written unit awaits its verification, and none is being verified now.
    bool written_unit_outstanding() const;
    void on_progress(int step, qint64 done, qint64 total);
    void on_passed_over(QStringList const& serials);
    void follow_record();
    // A unit read: the record follows it unless another unit than this run's written one.
    void record_read(DFU::DeviceInfo const& info);
    void start_phase(QString const& caption, double seconds, int first_step);

    SM_A* worker;
    SM_B* machine;
    Settings::GUI texts;
    QTimer verify_wait;
    QString hint_id;
    // Progress is told only for the steps of the phase that is shown.
    enum class Shown { nothing, download, verify };
    Shown phase_shown = Shown::nothing;
    QStringList attached_instead;
    RunRecord run_record;
    // The unit written in this run; empty serial before any write.
    DFU::DeviceItem written_unit;
    QString revision_before_write;
    int situation = bus::Clear;
    // The write under way failed; the worker still ends it as downloaded.
    bool write_failed = false;
    // A quit waits only for the write: nobody stays to check the unit.
    bool leaving = false;
    // dfu-util has reported the bytes of a transfer in this run.
    bool bytes_reported = false;
    // From the end of a good write until the written unit is read again: it restarts, off the bus.
    bool restarting = false;
    // The size of the image being written, as the worker reports it; the embedded image's size is the
    // usual one.
    qint64 write_bytes = 0;
};
