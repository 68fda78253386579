#include "app/app.h"

#include "app/connections.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "dfu/command.h"
#include "dfu/dfu_util.h"
#include "dfu/simulator.h"
#include "files/files.h"
#include "files/support_misc.h"
#include "gui/fonts.h"
#include "gui/log_window.h"
#include "gui/main_window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDebug>
#include <QThread>

QPointer<LogWindow> logWindow;
QPointer<MainWindow> mainWindow;
SM_B* sm_B = nullptr;
Settings::Settings settings;
bool use_log_window = false;

void parse_arguments(QCoreApplication* app) {
    parse_arguments(app->arguments());
}

void parse_arguments(QStringList const& arguments) {
    QCommandLineParser parser;
    parser.addOption({{"s", "use-simulator"}, "Use simulated device interaction."});
    parser.addOption({{"S", "no-use-simulator"}, "Disable use of simulated device interaction."});
    parser.addOption({{"l", "use-log-window"}, "Enable use of log window (open it with Ctrl-l)"});
    // Acted on before the application object exists (headless_requested); listed here so it is accepted.
    parser.addOption({"headless", "Upgrade without a window; the exit code tells the verdict."});
    parser.process(arguments);

    qDebug().nospace() << "Initial value of 'simulator::use'=" << simulator::use
                       << ", isSet('-s')=" << parser.isSet("use-simulator")
                       << ", isSet('-S')=" << parser.isSet("no-use-simulator");
    if (parser.isSet("use-simulator"))
        simulator::use = true;
    if (parser.isSet("no-use-simulator"))
        simulator::use = false;
    if (parser.isSet("use-log-window"))
        use_log_window = true;
}

namespace {

void create_log_window() {
    logWindow = new LogWindow();
    if (use_log_window)
        qInstallMessageHandler(logWindowMessageHandler);
}

void log_device_choice() {
    if (simulator::use)
        qInfo() << "Will use simulator (i.e. option 'use_simulator).";
    else
        qInfo() << "Will use real device (i.e. no option 'use_simulator'.)";
}

void set_up_dfu_util_location() {
    if (simulator::use)
        simulator::setup_for_simulated_dfu_util(simulator::none);
    else
        DFU::Command::path = DFU::dfu_util::system_directory();
}

void log_build() {
    qInfo() << "Compiled for platform (OS):" << support_misc::compiled_for_platform() << "with 'DEBUG'"
            << (support_misc::compiled_w_DEBUG ? "defined" : "not defined");
}

// The result is not examined here: each file logs its own failure. dfu-util and libusb come from the
// system on Linux, so only the firmware is unpacked and nothing needs to be made executable.
void unpack_files() {
    using Files::ID;
    Files::extract_resources({ID::desired_FW_dfu, ID::desired_FW_bin}, true);
}

Device::FW_Info log_desired_FW_Info() {
    const Device::FW_Info desired = DFU::desired_FW_Info();
    qInfo().noquote() << "Desired (embedded)" << desired;
    return desired;
}

void load_settings(Device::FW_Info const& desired) {
    settings.gui = Settings::make_GUI(":resources/settings_GUI.json");
    settings.desired_FW_type = desired.product_info.type;
    settings.desired_FW_revision = desired.revision;
}

void create_main_window() {
    mainWindow = MainWindow_factory(&settings, nullptr, simulator::use);
    mainWindow->setWindowTitle("Zentova Firmware Upgrade Tool");
}

// The worker reads from and uploads into the private directory the firmware was unpacked to.
void create_engine() {
    QString const dir = Files::external_dir.path() + "/";
    sm_A = new SM_A(dir + Files::desired_FW_fileName_dfu, dir + Files::desired_FW_fileName_bin,
                    dir + Files::uploaded_FW_fileName_bin);
    sm_A->idle_delay_ms = 500;
    sm_A->poll_delay_ms = 1000;
    sm_A->enable_debug_output();
    sm_B = new SM_B(sm_A, settings.desired_FW_type, settings.desired_FW_revision);
    sm_B->enable_debug_output();
}

// The worker thread starts only once the flow machine has entered B1, inside the event loop.
void connect_and_start_engine() {
    add_connections(qobject_cast<QApplication*>(QCoreApplication::instance()));
    QObject::connect(sm_B, &QStateMachine::started, start_worker);
    sm_B->start();
}

} // namespace

void logWindowMessageHandler(QtMsgType type, QMessageLogContext const& context, QString const& text) {
    if (logWindow)
        logWindow->sendMessage(type, context, text);
}

void GUI_init() {
    // 1. Command line.
    parse_arguments(QCoreApplication::instance());
    // 2. Fonts.
    support::setup_fonts();
    // 3. Log window and, with -l, the log routing.
    create_log_window();
    // 4. Which dfu-util runs: the simulator's script or the unpacked copy.
    log_device_choice();
    set_up_dfu_util_location();
    log_build();
    // 5. Unpacking, the dfu-util self-test and the embedded firmware's information.
    unpack_files();
    DFU::dfu_util::execution_test();
    const Device::FW_Info desired = log_desired_FW_Info();
    // 6. Settings with the embedded product type and revision.
    load_settings(desired);
    // 7. Main window.
    create_main_window();
    // 8. Worker and flow machine.
    create_engine();
    // 9. Connections; the flow machine's start starts the worker thread once the event loop runs.
    connect_and_start_engine();
    // 10. The window is shown.
    mainWindow->show();
}

void headless_init() {
    parse_arguments(QCoreApplication::instance());
    log_device_choice();
    set_up_dfu_util_location();
    log_build();
    unpack_files();
    DFU::dfu_util::execution_test();
    load_settings(log_desired_FW_Info());
    create_engine();
}

int GUI_cleanup(int result) {
    qInfo() << "app.exec() returns: " << result;
    if (sm_B)
        sm_B->stop();
    if (sm_A)
        sm_A->do_stop();
    qInfo() << "Waiting 2 s before deleting objects";
    QThread::sleep(2);
    // The worker goes first, so that none of its signals reaches a deleted flow machine.
    delete sm_A;
    sm_A = nullptr;
    delete sm_B;
    sm_B = nullptr;
    return result;
}
