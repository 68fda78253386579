#pragma once

#include "app/causes.h"
#include "control/sm_a.h"
#include "control/sm_b.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QThread>
#include <functional>
#include <memory>
#include <optional>

namespace History {
struct Local;
struct Record;
} // namespace History

// The history of one run: what it read of each unit, what it wrote, and, once the run has decided about the
// unit, its record in the local history. Recording never changes the run: it follows the engine's signals,
// stores nothing before the verdict but the note of a write already under way, and a failure to record is
// told once and passed over.
class Narrator;

class RunHistory : public QObject {
    Q_OBJECT

public:
    RunHistory(SM_A* worker, SM_B* machine, QObject* parent = nullptr);
    ~RunHistory() override;

    // The run has decided about the unit it worked on, for this cause with this exit code (an
    // interruption's adds the signal number): its record is stored, once.
    void record(int exit_code, Cause cause);

    // The window decides about unit after unit, and the user may install again after a verdict: each unit's
    // record keeps its last verdict (the narrator's, as a run without a window would end with it) and is stored
    // once the unit leaves the bus, another unit is read, or the window closes (record_last).
    void follow_window(Narrator* narrator);
    void record_last();

    // How a failure to record, a damaged history set aside, or a plant's database that did not take the
    // records is told; standard error unless set.
    std::function<void(QString const&)> tell;

private:
    void unit_read();
    void write_started();
    void step_failed(QString const& message);
    void unit_left();
    // Starts the record of the next unit.
    void next_unit();
    History::Local& local();
    // Tells a damaged history set aside, and a failure to record.
    void told(bool stored, QString const& problem);
    // Hands the records not yet sent to the plant's database (--plant-db), if one is named.
    void send_to_plant();
    // The window's sending, on a thread of its own; then the next one if records were stored meanwhile.
    void send_in_background();
    void sent_in_background();
    void tell_plant(QString const& words);

    SM_A* worker;
    SM_B* machine;
    std::unique_ptr<History::Record> draft;
    std::unique_ptr<History::Local> opened;
    QDateTime unit_started;
    QDateTime first_read_time;
    QString first_read_firmware;
    bool unit_seen = false;
    bool wrote = false;
    bool recorded = false;
    bool problem_told = false;
    bool plant_told = false;
    // The window's sending under way, its words once it ends, and whether records came after it started.
    std::unique_ptr<QThread> sending;
    std::shared_ptr<QString> sending_words;
    bool send_again = false;
    int sendings = 0;
    std::optional<Cause> verdict; // the window's last verdict on the unit
    Narrator* window_narrator = nullptr;
};
