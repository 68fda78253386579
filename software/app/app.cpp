#include "app/app.h"

#include "app/exit_codes.h"
#include "app/instance.h"
#include "app/narration.h"
#include "app/start_up.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "dfu/command.h"
#include "dfu/dfu_util.h"
#include "dfu/simulator.h"
#include "files/files.h"
#include "files/support_misc.h"

#include <QCommandLineParser>
#include <QDebug>
#include <QFileInfo>
#include <QLoggingCategory>
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
    parser->addOption({"list",
                       "Read every attached unit in update mode once, print one line per unit "
                       "(serial, USB path, product, firmware, what a run would do) and exit: 0, or 13 "
                       "when none is attached. Never writes."});
    parser->addOption({"json", "With --headless or --list: print one JSON object per event on standard "
                               "output (JSON Lines); the text goes to standard error."});
    parser->addOption({"verbose", "With --headless or --list: also print the log's debug and info messages "
                                  "and the guards' trace, which these runs leave out."});
    parser->addOption({{"h", "help"}, "Print this help and exit."});
    parser->addOption(
        {{"v", "version"}, "Print the program's version and the firmware it carries, and exit."});
}

namespace {

StartupFailure wrong_command_line(QString const& message) {
    return {Exit::cannot_start, QCoreApplication::applicationName() + ": " + message};
}

StartupFailure read_run_options(QCommandLineParser const& parser, RunOptions* options) {
    bool const headless = parser.isSet("headless");
    bool const list = parser.isSet("list");
    if (parser.isSet("timeout") && !headless)
        return wrong_command_line("--timeout needs --headless");
    if (parser.isSet("json") && !headless && !list)
        return wrong_command_line("--json needs --headless or --list");
    if (parser.isSet("verbose") && !headless && !list)
        return wrong_command_line("--verbose needs --headless or --list");
    if (headless && list)
        return wrong_command_line("--headless and --list exclude each other");
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
    options->json = parser.isSet("json");
    return {};
}

// The parser's own words for an unknown option or a value that does not fit, then ours.
StartupFailure read_command_line(QStringList const& arguments, QCommandLineParser* parser,
                                 RunOptions* options) {
    add_program_options(parser);
    if (!parser->parse(arguments))
        return wrong_command_line(parser->errorText());
    return read_run_options(*parser, options);
}

} // namespace

StartupFailure judge_command_line(QStringList const& arguments) {
    QCommandLineParser parser;
    RunOptions options;
    return read_command_line(arguments, &parser, &options);
}

bool option_given(QStringList const& arguments, QString const& name) {
    QCommandLineParser parser;
    add_program_options(&parser);
    // A wrong command line is told later, by the parser of the run it asks for.
    parser.parse(arguments);
    return parser.isSet(name);
}

bool option_given(int argc, char** argv, QString const& name) {
    return option_given(arguments_of(argc, argv), name);
}

QStringList arguments_of(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

StartupFailure parse_arguments(QStringList const& arguments) {
    QCommandLineParser parser;
    if (StartupFailure const failure = read_command_line(arguments, &parser, &run_options))
        return failure;

    qDebug().nospace() << "Initial value of 'simulator::use'=" << simulator::use
                       << ", isSet('-s')=" << parser.isSet("use-simulator")
                       << ", isSet('-S')=" << parser.isSet("no-use-simulator");
    if (parser.isSet("use-simulator"))
        simulator::use = true;
    if (parser.isSet("no-use-simulator"))
        simulator::use = false;
    if (parser.isSet("use-log-window"))
        use_log_window = true;
    return {};
}

namespace start_up {

QString const settings_file = ":resources/settings_GUI.json";

namespace {

StartupFailure private_files_failure(QString const& cause) {
    return {Exit::private_files_failed,
            settings.gui.text("hint_privateFiles").arg(Files::temporary_root(), cause)};
}

} // namespace

void log_device_choice() {
    if (simulator::use)
        qInfo() << "Will use simulator (i.e. option 'use_simulator).";
    else
        qInfo() << "Will use real device (i.e. no option 'use_simulator'.)";
}

StartupFailure set_up_dfu_util_location() {
    if (!simulator::use) {
        DFU::Command::path = DFU::dfu_util::system_directory();
        return {};
    }
    if (!simulator::available())
        return {Exit::cannot_start, settings.gui.text("hint_noSimulator")};
    simulator::setup_for_simulated_dfu_util(simulator::none);
    return {};
}

void log_build() {
    qInfo() << "Compiled for platform (OS):" << support_misc::compiled_for_platform() << "with 'DEBUG'"
            << (support_misc::compiled_w_DEBUG ? "defined" : "not defined");
}

StartupFailure claim_instance() {
    switch (instance::claim(instance::bus_name(simulator::use), run_options.serial)) {
    case instance::Claim::taken:
        return {};
    case instance::Claim::write_finishing:
        return {Exit::already_running, settings.gui.text("hint_writeFinishing")};
    case instance::Claim::failed:
        return {Exit::already_running, settings.gui.text("hint_claimFailed")};
    case instance::Claim::already_running:
        break;
    }
    return {Exit::already_running, settings.gui.text("hint_alreadyRunning")};
}

// One run of "dfu-util -V": the self-test, and the release of the dfu-util that will run. The simulator's
// script answers -V itself, so its release is not judged.
StartupFailure test_dfu_util() {
    if (DFU::dfu_util::self_test().supported || simulator::use)
        return {};
    return {Exit::no_dfu_util, settings.gui.text("hint_noDfuUtil")};
}

// Made once the command line is judged, and before anything else may create files below the temporary path.
StartupFailure make_private_dir() {
    if (Files::external_dir.isValid())
        return {};
    return private_files_failure(Files::external_dir.errorString());
}

// dfu-util and libusb come from the system on Linux, so only the firmware is unpacked and nothing needs to
// be made executable; and only the raw image, the one file dfu-util is given (with the flash address, it
// takes no DfuSe container). Without the private directory and a whole image nothing may be written to a
// unit.
StartupFailure unpack_files() {
    using Files::ID;
    Files::remove_stale_private_dirs();
    if (Files::extract_resources({ID::desired_FW_bin}, true))
        return {};
    QString const image = Files::external_dir.path() + "/" + Files::desired_FW_fileName_bin;
    QString const cause =
        Files::local_write_problem(image, QFileInfo(":resources/" + Files::desired_FW_fileName_bin).size());
    return private_files_failure(cause.isEmpty() ? QString("the firmware image could not be unpacked")
                                                 : cause);
}

Device::FW_Info log_desired_FW_Info() {
    const Device::FW_Info desired = DFU::desired_FW_Info();
    qInfo().noquote() << "Desired (embedded)" << desired;
    return desired;
}

void load_settings(Device::FW_Info const& desired) {
    settings.desired_FW_type = desired.product_info.type;
    settings.desired_FW_revision = desired.revision;
}

// The worker reads from and uploads into the private directory the firmware was unpacked to.
void create_engine() {
    QString const dir = Files::external_dir.path() + "/";
    sm_A = new SM_A(dir + Files::desired_FW_fileName_dfu, dir + Files::desired_FW_fileName_bin,
                    dir + Files::uploaded_FW_fileName_bin);
    sm_A->idle_delay_ms = 500;
    sm_A->poll_delay_ms = 1000;
    sm_A->serial_filter = run_options.serial;
    sm_B = new SM_B(sm_A, settings.desired_FW_type, settings.desired_FW_revision);
    // The machines' trace only where it is read: in the window's log, or with --verbose.
    if (QLoggingCategory::defaultCategory()->isDebugEnabled()) {
        sm_A->enable_debug_output();
        sm_B->enable_debug_output();
    }
    narrator = new Narrator(sm_A, sm_B, settings.gui);
}

} // namespace start_up

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
    if (StartupFailure const failure = parse_arguments(QCoreApplication::arguments()))
        return failure;
    load_texts();
    if (StartupFailure const failure = make_private_dir())
        return failure;
    if (StartupFailure const failure = claim_instance())
        return failure;
    log_device_choice();
    if (StartupFailure const failure = set_up_dfu_util_location())
        return failure;
    log_build();
    if (StartupFailure const failure = unpack_and_check_dfu_util())
        return failure;
    load_settings(log_desired_FW_Info());
    create_engine();
    return {};
}

StartupFailure list_init() {
    using namespace start_up;
    if (StartupFailure const failure = parse_arguments(QCoreApplication::arguments()))
        return failure;
    load_texts();
    if (StartupFailure const failure = make_private_dir())
        return failure;
    log_device_choice();
    if (StartupFailure const failure = set_up_dfu_util_location())
        return failure;
    if (StartupFailure const failure = unpack_and_check_dfu_util())
        return failure;
    load_settings(log_desired_FW_Info());
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
