#pragma once

#include <QElapsedTimer>

namespace progress {

// The percent of one phase of work: estimated from the time since the phase started over the time it
// usually takes, until the work reports how far it has come, then what it reports. Never back within a
// phase: an estimate that ran ahead waits for the work to catch up. Every view of a phase draws it so.
class Phase {
public:
    // A new phase, at 0, drawn over `duration_ms`.
    void start(int duration_ms);
    // The elapsed share of the usual time in whole `step`s of percent, at most `ceiling`.
    int by_time(int ceiling = 100, int step = 1);
    // What the work reports.
    int by_work(int percent);
    // Whether the usual time has passed.
    bool time_is_up() const;
    int shown() const { return last; }
    int duration() const { return duration_ms; }

private:
    int keep(int percent);

    QElapsedTimer clock;
    int duration_ms = 1;
    int last = 0;
};

} // namespace progress
