#include "headless/headless.h"

#include "app/app.h"
#include "app/narration.h"
#include "app/run_history.h"
#include "app/termination.h"
#include "headless/json_events.h"
#include "headless/wait_limit.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <algorithm>
#include <unistd.h>

namespace {

constexpr int bar_width = 30;
constexpr int terminal_tick_ms = 100;

// Where the toolkit keeps its runtime files is none of the user's business in a run without a window.
void drop_runtime_dir_warning(QtMsgType type, QMessageLogContext const& context, QString const& text) {
    if (type == QtWarningMsg && text.startsWith("QStandardPaths: XDG_RUNTIME_DIR not set"))
        return;
    std::fputs((qFormatLogMessage(type, context, text) + "\n").toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

} // namespace

void set_up_log(bool verbose) {
    if (!verbose) {
        QLoggingCategory::setFilterRules("default.debug=false\ndefault.info=false");
        qInstallMessageHandler(drop_runtime_dir_warning);
    }
    SM_B::trace_guards = QLoggingCategory::defaultCategory()->isDebugEnabled();
}

int run_headless() {
    FILE* const events = json_events::open_stream(command_line.options.json);
    set_up_log(command_line.verbose);
    StartupFailure const failure = headless_init();
    if (failure)
        return report_startup_failure(failure, events);
    narrator->terminal_words = true;
    // Made first, so that of two followers of one moment the events of the unit come before the verdict.
    JsonRunEvents json(sm_A, sm_B, narrator, events);
    // Made before the front end, so that it has followed every signal about the unit when the verdict comes.
    RunHistory history(sm_A, sm_B);
    HeadlessFrontEnd front_end(sm_A, sm_B, narrator, stdout, ::isatty(::fileno(stdout)) == 1);
    QObject::connect(&front_end, &HeadlessFrontEnd::finished, &json, &JsonRunEvents::finished);
    // Recorded once the verdict is out, after its last event.
    QObject::connect(&front_end, &HeadlessFrontEnd::finished, &history, &RunHistory::record);
    if (run_options.timeout_seconds > 0)
        limit_wait_for_unit(
            &front_end, sm_A, sm_B, run_options.timeout_seconds,
            [&front_end](Cause cause, QStringList const& args) { front_end.give_up(cause, args); });
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, &front_end, &HeadlessFrontEnd::interrupt);
    QObject::connect(&front_end, &HeadlessFrontEnd::finished, QCoreApplication::instance(),
                     [](int exit_code) { QCoreApplication::exit(exit_code); });
    QObject::connect(sm_B, &QStateMachine::started, start_worker);
    sm_B->start();
    int const exit_code = QCoreApplication::exec();
    delete_engine();
    return exit_code;
}

QString result_line(QString const& result, int exit_code) {
    return QString("Result: %1 (exit code %2)").arg(result, QString::number(exit_code));
}

int report_startup_failure(StartupFailure const& failure, FILE* events) {
    if (failure.cause == Cause::cannot_start) {
        // A wrong command line, in the parser's words like any other program's.
        std::fputs((failure.message + "\n").toUtf8().constData(), stderr);
    } else {
        std::fputs((result_line(plain_text(failure.message), failure.exit_code()) + "\n").toUtf8().constData(),
                   stdout);
        std::fflush(stdout);
    }
    json_events::write(events,
                       json_events::result(failure.exit_code(), words_of(*failure.cause).outcome));
    return failure.exit_code();
}

QString plain_text(QString const& rich_text) {
    static QRegularExpression const line_break("<br\\s*/?>", QRegularExpression::CaseInsensitiveOption);
    static QRegularExpression const tag("<[^>]*>");
    QString text = rich_text;
    return text.replace(line_break, " ").remove(tag).simplified();
}

TextProgress::TextProgress(FILE* out, bool terminal, QObject* parent)
    : QObject(parent), out(out), terminal(terminal) {
    connect(&timer, &QTimer::timeout, this, &TextProgress::tick);
}

void TextProgress::start(QString const& new_caption, double seconds) {
    break_line();
    caption = new_caption;
    phase.start(static_cast<int>(seconds * 1000));
    last_drawn = -1;
    timer.start(terminal ? terminal_tick_ms : std::max(50, phase.duration() / 100));
    draw(0);
}

void TextProgress::complete(QString const& new_caption) {
    end_at(100, new_caption);
}

// Like the window's bar, which is reset and hidden with the new caption.
void TextProgress::stop(QString const& new_caption) {
    end_at(0, new_caption);
}

void TextProgress::end_at(int percent, QString const& new_caption) {
    timer.stop();
    caption = new_caption;
    last_drawn = -1;
    draw(percent);
    break_line();
}

void TextProgress::hide() {
    timer.stop();
    break_line();
}

void TextProgress::follow(int percent) {
    timer.stop();
    int const shown = phase.by_work(percent);
    if (shown > last_drawn)
        draw(shown);
}

void TextProgress::break_line() {
    if (bar_on_line) {
        std::fputs("\n", out);
        std::fflush(out);
        bar_on_line = false;
    }
}

void TextProgress::tick() {
    draw(phase.by_time());
    if (phase.shown() >= 100) {
        timer.stop();
    }
}

void TextProgress::draw(int percent) {
    if (terminal) {
        int const filled = percent * bar_width / 100;
        QString const bar = QString(filled, '#') + QString(bar_width - filled, '-');
        QString const line = QString("\r[%1] %2% %3\x1b[K").arg(bar).arg(percent, 3).arg(caption);
        std::fputs(line.toUtf8().constData(), out);
        bar_on_line = true;
    } else if (last_drawn < 0 || percent / 10 > last_drawn / 10) {
        std::fputs(QString("%1% %2\n").arg(percent).arg(caption).toUtf8().constData(), out);
    }
    std::fflush(out);
    last_drawn = percent;
}

HeadlessFrontEnd::HeadlessFrontEnd(SM_A* worker, SM_B* machine, Narrator* narrator, FILE* out, bool terminal,
                                   QObject* parent)
    : QObject(parent), worker(worker), machine(machine), narrator(narrator), out(out),
      progress(out, terminal) {
    connect_narrator();
    connect_machine();
    connect_worker();
    narrator->follow_verdicts();
}

void HeadlessFrontEnd::connect_narrator() {
    connect(narrator, &Narrator::status, this, [this](QString const& text) {
        // The start's no-unit line waits for a listing: a run whose unit is attached never waits for one.
        if (!listed_no_unit && text == narrator->text("status_noDev")) {
            no_unit_line = plain_text(text);
            return;
        }
        no_unit_line.clear();
        show(plain_text(text));
    });
    connect(narrator, &Narrator::hint, this, [this](QString const& text) {
        if (!text.isEmpty()) {
            show(plain_text(text));
        }
    });
    connect(narrator, &Narrator::phase_started, this,
            [this](QString const& caption, double seconds) { progress.start(caption, seconds); });
    connect(narrator, &Narrator::phase_completed, this,
            [this](QString const& caption) { progress.complete(caption); });
    connect(narrator, &Narrator::phase_failed, this,
            [this](QString const& caption) { progress.stop(caption); });
    connect(narrator, &Narrator::phase_hidden, this, [this] { progress.hide(); });
    connect(narrator, &Narrator::progress, this, [this](int, int percent) { progress.follow(percent); });
    connect(narrator, &Narrator::verdict, this,
            [this](Cause cause, QStringList const& args) { finish(cause, args); });
}

void HeadlessFrontEnd::connect_machine() {
    connect(machine->B2, &QState::entered, this, &HeadlessFrontEnd::offer_install);
    connect(machine->B7, &QState::entered, this, &HeadlessFrontEnd::offer_install);
}

void HeadlessFrontEnd::connect_worker() {
    // The worker's idle position is entered once at its start, and again only after a listing without a unit.
    connect(worker, &SM_A::sig_A1_entered, this, [this] {
        listed_no_unit = idle_entries++ > 0;
        if (listed_no_unit && !no_unit_line.isEmpty())
            show(std::exchange(no_unit_line, QString()));
    });
    connect(worker, &SM_A::sig_A5_entered, this, [this] { writing = true; });
    connect(worker, &SM_A::sig_A0_entered, this, &HeadlessFrontEnd::write_ended);
    connect(worker, &SM_A::sig_FwDownloaded, this, [this] { download_carried_out = true; });
    // A write left by another run is not waited for: the unit is another run's until it has ended.
    connect(worker, &SM_A::sig_Situation, this, [this](int situation) {
        Cause const cause = cause_of(static_cast<bus::Situation>(situation));
        if (cause == Cause::write_finishing || cause == Cause::reservation_failed)
            finish(cause);
    });
}

// A write under way is finished first, with its progress still shown; a second signal ends the tool at once
// and the write still completes on its own.
void HeadlessFrontEnd::interrupt(int signal_number) {
    if (!writing) {
        finish(download_carried_out ? Cause::interrupted_after_write : Cause::interrupted, {}, signal_number);
        return;
    }
    pending_signal = signal_number;
    narrator->tell_finishing_write();
}

void HeadlessFrontEnd::give_up(Cause cause, QStringList const& args) {
    if (!writing) {
        finish(cause, args);
    }
}

// The worker starts over after every download, carried out or dropped.
void HeadlessFrontEnd::write_ended() {
    writing = false;
    if (pending_signal != 0) {
        finish(Cause::interrupted_after_write, {}, pending_signal);
    }
}

void HeadlessFrontEnd::show(QString const& line) {
    // The result is the last line, whatever the engine still tells while it stops.
    if (done || line == last_line) {
        return;
    }
    last_line = line;
    progress.break_line();
    std::fputs((line + "\n").toUtf8().constData(), out);
    std::fflush(out);
}

// Where the window offers the install button. One download per run: a difference after it is the verdict,
// which the narrator tells. An order that the worker dropped because the device changed wrote nothing, so
// the next read gets one.
void HeadlessFrontEnd::offer_install() {
    if (done || download_carried_out || narrator->judging_another_unit()) {
        return;
    }
    // Queued: the machine is still entering the state.
    QMetaObject::invokeMethod(machine, &SM_B::do_download, Qt::QueuedConnection);
}

void HeadlessFrontEnd::finish(Cause cause, QStringList const& args, int signal_number) {
    if (done) {
        return;
    }
    CauseWords const& words = words_of(cause);
    int const exit_code = words.exit_code + signal_number;
    progress.hide();
    show(result_line(narrator->text(words.result_id, args), exit_code));
    done = true;
    narrator->disconnect(this);
    machine->stop();
    worker->do_stop();
    emit finished(exit_code, cause);
}
