#include "app/app.h"

#include "app/narration.h"
#include "app/start_up.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "dfu/simulator.h"
#include "history/plant.h"

#include <QCommandLineParser>
#include <QDebug>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QThread>

SM_B* sm_B = nullptr;
Narrator* narrator = nullptr;
Settings::Settings settings;
bool use_log_window = false;
RunOptions run_options;

void add_program_options(QCommandLineParser* parser) {
    // Qt does not wrap the description: lines of at most 80 characters. It explains the options whose own
    // lines stay as short as they were first written.
    parser->setApplicationDescription(
        "Brings the firmware of a Zentova product up to date with the firmware this\n"
        "program carries. The product is connected in its bootloader's USB DFU mode\n"
        "(USB id 0483:df11); every USB operation is one run of dfu-util.\n"
        "\n"
        "-s runs every dfu-util command against the emulated bootloader of the build\n"
        "tree instead of a real product (for development and demonstrations); -S\n"
        "uses the real product and wins over -s. -l also shows the log in a dialog\n"
        "beside the window (Ctrl+L shows or hides it).");
    parser->addOption({{"s", "use-simulator"}, "Use simulated device interaction."});
    parser->addOption({{"S", "no-use-simulator"}, "Disable use of simulated device interaction."});
    parser->addOption({{"l", "use-log-window"}, "Enable use of log window (open it with Ctrl-l)"});
    // --headless, --list, --help and --version are acted on before the application object exists (main);
    // listed here so that they are accepted and described.
    parser->addOption({"headless", "Upgrade without a window: print each step to standard output, click "
                                   "install where the window would offer it, and end with the verdict's "
                                   "exit code."});
    parser->addOption({"serial",
                       "Work only on the unit with this USB serial (as --list shows it); other units are "
                       "ignored. Runs for different serials may upgrade their units at the same time.",
                       "SERIAL"});
    parser->addOption({"timeout",
                       "With --headless: give up with exit code 12 when no usable unit has appeared within "
                       "SECONDS (at most " +
                           QString::number(max_timeout_seconds) +
                           "; exit code 8 when the written unit does not come back). A write under way "
                           "is never cut.",
                       "SECONDS"});
    parser->addOption({"plant-db",
                       "Also send the history's records to the plant's PostgreSQL database at URL "
                       "(postgresql://user@host:port/database); default: the variable " +
                           QString(History::plant_db_variable) +
                           ", an empty URL none. A record the server does not take waits here for the "
                           "next run.",
                       "URL"});
    parser->addOption({"list",
                       "Read every attached unit in update mode once, print one line per unit "
                       "(serial, USB path, product, firmware, what a run would do) and exit: 0, or 13 "
                       "when none is attached. Never writes."});
    parser->addOption({"history", "Print the history of the units this user's runs read, newest first, one "
                                  "line each, and exit (with --serial only that unit's; with --json JSON "
                                  "Lines)."});
    parser->addOption({"json", "With --headless or --list: print one JSON object per event on standard "
                               "output (JSON Lines); the text goes to standard error. With --history: one "
                               "JSON object per record."});
    parser->addOption({"verbose", "With --headless or --list: also print the log's debug and info messages "
                                  "and the guards' trace, which these runs leave out."});
    parser->addOption({{"h", "help"}, "Print this help and exit."});
    parser->addOption(
        {{"v", "version"}, "Print the program's version and the firmware it carries, and exit."});
}

namespace {

StartupFailure wrong_command_line(QString const& message) {
    return {Cause::cannot_start, QCoreApplication::applicationName() + ": " + message};
}

// A word without an option before it is most often a value whose option was left out: a serial, as --list
// prints them, is letters and digits.
StartupFailure stray_argument(QString const& word) {
    static QRegularExpression const serial_like("^[A-Za-z0-9]+$");
    QString const meaning = serial_like.match(word).hasMatch()
                                ? "; to work on the unit with this serial, give --serial " + word
                                : " (see --help)";
    return wrong_command_line("unexpected argument \"" + word + "\": the tool takes options only" + meaning);
}

// The last of two different values would win without a word, and the other be ignored.
StartupFailure repeated_value(QCommandLineParser const& parser) {
    for (char const* option : {"serial", "timeout"}) {
        QStringList values = parser.values(option);
        values.removeDuplicates();
        if (values.size() > 1)
            return wrong_command_line(QString("--") + option +
                                      " is given more than once, with different values (" +
                                      values.join(", ") + "); give it once");
    }
    return {};
}

StartupFailure read_run_options(QCommandLineParser const& parser, RunOptions* options) {
    if (!parser.positionalArguments().isEmpty())
        return stray_argument(parser.positionalArguments().first());
    if (StartupFailure const failure = repeated_value(parser))
        return failure;
    bool const headless = parser.isSet("headless");
    bool const list = parser.isSet("list");
    bool const history = parser.isSet("history");
    if (parser.isSet("timeout") && !headless)
        return wrong_command_line("--timeout needs --headless");
    if (parser.isSet("json") && !headless && !list && !history)
        return wrong_command_line("--json needs --headless, --list or --history");
    if (parser.isSet("verbose") && !headless && !list)
        return wrong_command_line("--verbose needs --headless or --list");
    if (int(headless) + int(list) + int(history) > 1)
        return wrong_command_line("--headless, --list and --history exclude each other");
    bool number = true;
    options->timeout_seconds = parser.isSet("timeout") ? parser.value("timeout").toInt(&number) : 0;
    // Turned into milliseconds for a timer, which must not overflow.
    if (!number || options->timeout_seconds < 0 || options->timeout_seconds > max_timeout_seconds)
        return wrong_command_line("--timeout takes a whole number of seconds from 0 to " +
                                  QString::number(max_timeout_seconds) + ", not \"" +
                                  parser.value("timeout") + "\"");
    options->serial = parser.value("serial").trimmed();
    if (parser.isSet("serial") && options->serial.isEmpty())
        return wrong_command_line("--serial takes the unit's USB serial");
    if (parser.isSet("plant-db") && (list || history))
        return wrong_command_line("--plant-db needs a run that records, not --list or --history");
    options->plant_db = History::plant_url(parser.isSet("plant-db"), parser.value("plant-db"));
    return {};
}

} // namespace

CommandLine command_line;

// The parser's own words for an unknown option or a value that does not fit, then ours.
CommandLine parse_command_line(QStringList const& arguments) {
    QCommandLineParser parser;
    add_program_options(&parser);
    CommandLine line;
    bool const parsed = parser.parse(arguments);
    line.help = parser.isSet("help");
    line.version = parser.isSet("version");
    line.headless = parser.isSet("headless");
    line.list = parser.isSet("list");
    line.history = parser.isSet("history");
    line.verbose = parser.isSet("verbose");
    line.use_simulator = parser.isSet("use-simulator");
    line.no_use_simulator = parser.isSet("no-use-simulator");
    line.use_log_window = parser.isSet("use-log-window");
    line.options.json = parser.isSet("json");
    line.failure = parsed ? read_run_options(parser, &line.options) : wrong_command_line(parser.errorText());
    return line;
}

QStringList arguments_of(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

StartupFailure take_command_line() {
    if (command_line.failure)
        return command_line.failure;
    run_options = command_line.options;
    qDebug().nospace() << "Initial value of 'simulator::use'=" << simulator::use
                       << ", isSet('-s')=" << command_line.use_simulator
                       << ", isSet('-S')=" << command_line.no_use_simulator;
    if (command_line.use_simulator)
        simulator::use = true;
    if (command_line.no_use_simulator)
        simulator::use = false;
    if (command_line.use_log_window)
        use_log_window = true;
    return {};
}

namespace {

// The embedded files, the dfu-util self-test and the check of the dfu-util that will run.
StartupFailure unpack_and_check_dfu_util() {
    if (StartupFailure const failure = start_up::unpack_files())
        return failure;
    return start_up::test_dfu_util();
}

} // namespace

// The texts come first: start-up failures are told in them.
void load_texts() {
    if (!settings.gui.valid)
        settings.gui = Settings::make_texts(start_up::settings_file);
}

StartupFailure headless_init() {
    using namespace start_up;
    if (StartupFailure const failure = take_command_line())
        return failure;
    load_texts();
    if (StartupFailure const failure = make_private_dir())
        return failure;
    log_device_choice();
    if (StartupFailure const failure = set_up_dfu_util_location())
        return failure;
    if (StartupFailure const failure = claim_instance())
        return failure;
    log_build();
    if (StartupFailure const failure = unpack_and_check_dfu_util())
        return failure;
    set_desired_FW(read_desired_FW_Info());
    // The machines' trace only where it is read: with --verbose.
    create_engine(QLoggingCategory::defaultCategory()->isDebugEnabled());
    return {};
}

StartupFailure list_init() {
    using namespace start_up;
    if (StartupFailure const failure = take_command_line())
        return failure;
    load_texts();
    if (StartupFailure const failure = make_private_dir())
        return failure;
    log_device_choice();
    if (StartupFailure const failure = set_up_dfu_util_location())
        return failure;
    if (StartupFailure const failure = unpack_and_check_dfu_util())
        return failure;
    set_desired_FW(read_desired_FW_Info());
    return {};
}

// The worker thread starts only once the flow machine has entered B1, inside the event loop.
void start_worker() {
    qInfo() << "Starting sm_A";
    sm_A->start(QThread::InheritPriority);
}

// Deleting the worker waits for its thread, which ends a read at once and a write once it is done.
void delete_engine() {
    if (sm_B)
        sm_B->stop();
    if (sm_A)
        sm_A->do_stop();
    // The worker goes first, so that none of its signals reaches a deleted flow machine.
    delete sm_A;
    sm_A = nullptr;
    delete narrator;
    narrator = nullptr;
    delete sm_B;
    sm_B = nullptr;
}
