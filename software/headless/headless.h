#pragma once

#include "app/causes.h"
#include "control/sm_a.h"
#include "control/sm_b.h"

#include "files/phase_progress.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdio>

// The progress of one phase as a text bar redrawn in place on a terminal (the rest of the line cleared, so a
// shorter caption leaves nothing behind), or as a line at every tenth when the output is a file or a pipe.
// It follows the time the phase usually takes until the phase reports how far it has come.
class TextProgress : public QObject {
    Q_OBJECT

public:
    TextProgress(FILE* out, bool terminal, QObject* parent = nullptr);

    void start(QString const& caption, double seconds);
    void complete(QString const& caption);
    void stop(QString const& caption);
    void hide();
    void follow(int percent);
    // Ends a bar drawn in place, so that the next line starts at the left margin.
    void break_line();

private:
    void tick();
    void draw(int percent);
    // The bar drawn once more at `percent` with the new caption, and the line ended.
    void end_at(int percent, QString const& new_caption);

    FILE* out;
    bool terminal;
    QTimer timer;
    progress::Phase phase;
    QString caption;
    int last_drawn = -1;
    bool bar_on_line = false;
};

class Narrator;
struct StartupFailure;

// Runs the upgrade flow without any widget: prints what the window would show, clicks install where the
// window would offer it, and ends with the verdict's exit code.
class HeadlessFrontEnd : public QObject {
    Q_OBJECT

public:
    HeadlessFrontEnd(SM_A* worker, SM_B* machine, Narrator* narrator, FILE* out, bool terminal,
                     QObject* parent = nullptr);

    void interrupt(int signal_number);
    // Ends the run with this verdict, unless a write is under way.
    void give_up(Cause cause, QStringList const& args);

signals:
    // Emitted once, when the run has reached its verdict; the engine is already asked to stop.
    void finished(int exit_code, Cause cause);

private:
    void connect_narrator();
    void connect_machine();
    void connect_worker();
    void show(QString const& line);
    void offer_install();
    void write_ended();
    // The result line, last: the cause's words filled with `args`; an interruption's exit code adds the
    // signal number.
    void finish(Cause cause, QStringList const& args = {}, int signal_number = 0);

    SM_A* worker;
    SM_B* machine;
    Narrator* narrator;
    FILE* out;
    TextProgress progress;
    QString last_line;
    int idle_entries = 0;
    bool listed_no_unit = false;
    QString no_unit_line; // held until a listing shows no unit
    bool download_carried_out = false;
    bool writing = false;
    int pending_signal = 0;
    bool done = false;
};

// Strips rich-text markup and folds white space, so a window text reads as one plain line.
QString plain_text(QString const& rich_text);
// The last line of a run: "Result: <what> (exit code <n>)".
QString result_line(QString const& result, int exit_code);
// Prints why start-up stopped as the run's result line and event; returns its exit code.
int report_startup_failure(StartupFailure const& failure, FILE* events);

// The runs without a window print only the user's lines: the log's debug and info messages and the guards'
// trace come with --verbose (or QT_LOGGING_RULES), and the toolkit's note about its runtime directory never.
void set_up_log(bool verbose);

// Start-up, event loop and shutdown of the run without a window; returns the verdict's exit code.
int run_headless();
