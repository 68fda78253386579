#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace DFU {

namespace child_process {

// How long to wait for a child, and what to do when that is not enough.
struct Waiting {
    int first_wait_ms = 30000;
    // After first_wait_ms: the child is ended (0), or waited for until this much time has passed since its
    // start and then left to finish on its own.
    int leave_running_after_ms = 0;
    // Asked every few milliseconds; when true, a child that may be ended is ended at once, one that may not
    // is left running once first_wait_ms has passed.
    std::function<bool()> stop_requested;
    // Asked likewise; when true, a child that may not be ended is left running at once.
    std::function<bool()> leave_running_now;
    // Called once with the output so far when first_wait_ms passes.
    std::function<void(QByteArray const& early_output)> on_slow;
};

enum class End { exited, crashed, not_started, ended_by_us, left_running };

struct Outcome {
    End end = End::not_started;
    int exit_code = -1; // when exited
    QByteArray output;  // standard output, at most output_limit bytes
    QByteArray errors;  // standard error, at most output_limit bytes
    bool output_cut = false;
};

// What is kept of one stream of one run; a runaway child cannot fill the memory.
constexpr int output_limit = 1 << 20;

// Runs `program` in a session of its own, with a clear signal mask, standard input from /dev/null and its
// output going to anonymous files. Neither a signal meant for this process nor this process ending can
// stop it: a write, once started, runs to its end.
Outcome run(QString const& program, QStringList const& args, Waiting const& waiting);

} // namespace child_process

} // namespace DFU
