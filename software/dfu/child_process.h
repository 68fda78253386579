#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace DFU {

namespace child_process {

// How long to wait for a child, what to do when that is not enough, and what to pass on while it runs.
struct Waiting {
    int first_wait_ms = 30000;
    // False for a write: it is never ended, and waited for as long as it runs.
    bool may_end = true;
    // Asked every few milliseconds; when true, a child that may be ended is ended at once, one that may not
    // is waited for all the same.
    std::function<bool()> stop_requested;
    // Asked likewise; when true, a child that may not be ended is left running at once.
    std::function<bool()> leave_running_now;
    // Called once with the output so far when first_wait_ms passes.
    std::function<void(QByteArray const& early_output)> on_slow;
    // Called with each piece of standard output as it arrives, while the child runs.
    std::function<void(QByteArray const& more_output)> on_output;
    // Called every tick_ms while the child runs, with the time since its start.
    std::function<void(qint64 elapsed_ms)> on_tick;
    int tick_ms = 1000;
    // Descriptors the child keeps besides its standard streams (as 3, 4, ...); it gets no other.
    std::vector<int> inherited;
};

enum class End { exited, crashed, not_started, timed_out, ended_by_us, left_running };

struct Outcome {
    End end = End::not_started;
    int exit_code = -1; // when exited
    QByteArray output;  // standard output, at most output_limit bytes
    QByteArray errors;  // standard error, at most output_limit bytes
    bool output_cut = false;
};

// What is kept of one stream of one run; a runaway child cannot fill the memory.
constexpr int output_limit = 1 << 20;

// Runs `program` in a session of its own, with a clear signal mask, default signal dispositions, standard
// input from /dev/null, its output going to anonymous files, and no other descriptor than `inherited`.
// No signal meant for this process reaches it. A child that may be ended (a read, a listing) is killed when
// this process ends, however it ends; one that may not (a write), once started, runs to its end. The child
// is always reaped, unless it is left running.
Outcome run(QString const& program, QStringList const& args, Waiting const& waiting);

} // namespace child_process

} // namespace DFU
