#pragma once

#include "app/causes.h"
#include "dfu/scan.h"
#include "gui/settings.h"

#include <QCoreApplication>
#include <QStringList>
#include <optional>

class QCommandLineParser;
class SM_B;
class Narrator;

// Process-wide objects made by start-up (the windows' in window_start.h). sm_B is deleted after the worker
// sm_A (declared with SM_A).
extern SM_B* sm_B;
// Decides what the user is told; made with the engine.
extern Narrator* narrator;
extern Settings::Settings settings;
extern bool use_log_window;

// What the command line asks of a run without a window or a listing; set by take_command_line.
struct RunOptions {
    QString serial;          // only the unit with this USB serial; empty: the one attached unit
    int timeout_seconds = 0; // give up after this long without a usable unit; 0: wait without limit
    bool json = false;       // JSON Lines on standard output instead of text
    QString plant_db;        // the URL of a plant's database that also takes the records; empty: none
    QString dfu_util_release; // as the self-test found it: for the history
    // What the dfu-util in use can do, as the start-up's self-test found it; handed to the worker and the
    // listing, which build the command lines.
    DFU::Capabilities capabilities;
};
// The longest --timeout: its milliseconds must fit a timer's interval.
constexpr int max_timeout_seconds = 2147483;
extern RunOptions run_options;

// The program's options, in the order --help lists them: the one table that the command line and the
// manual page are read with.
void add_program_options(QCommandLineParser* parser);
QStringList arguments_of(int argc, char** argv);

// Why start-up cannot go on, and what to tell the user; no cause when it can.
struct StartupFailure {
    std::optional<Cause> cause;
    QString message;

    int exit_code() const { return cause ? words_of(*cause).exit_code : 0; }
    explicit operator bool() const { return cause.has_value(); }
};

// What the command line asks for. An unknown option, a value that does not fit or options that do not go
// together make `failure` (Exit::cannot_start with the parser's words); the options read before it stay
// set, so that a wrong command line is told the way the run asked for (--json).
struct CommandLine {
    StartupFailure failure;
    bool help = false;
    bool version = false;
    bool headless = false;
    bool list = false;
    bool history = false;
    bool verbose = false;
    bool use_simulator = false;    // -s
    bool no_use_simulator = false; // -S, which wins over -s
    bool use_log_window = false;
    RunOptions options;
};
// Read once per program, first thing: the runs without a window are chosen from it before the application
// object exists, since they must not need a display.
CommandLine parse_command_line(QStringList const& arguments);
extern CommandLine command_line;
// Takes command_line over into run_options and the simulator and log window choices; its failure, if any.
StartupFailure take_command_line();

// The window's start-up without fonts, log window, main window and connections (option --headless).
StartupFailure headless_init();
// The start-up of --list: no instance claim, no worker; the reads run on the main thread.
StartupFailure list_init();
// Connected by start-up to the flow machine's `started`: the worker polls only once B1 is entered.
void start_worker();
// Stops and deletes the worker, the narrator and the flow machine, in that order.
void delete_engine();
// Loads the texts of the settings file into `settings.gui`, once.
void load_texts();
