// Simulator mode: the rewrite of the command table, the script's argument handling and the loading of
// prepared configurations, run through the tool's own command runner.

#include "sim_fixture.h"
#include "test_config.h"

#include "dfu/command.h"
#include "dfu/scan.h"
#include "dfu/simulator.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

class TestSimulatorSetup : public QObject {
    Q_OBJECT

    DFU::Commands original;
    QTemporaryDir files;

private slots:
    void initTestCase() { original = DFU::commands; }
    void cleanup() { DFU::commands = original; }

    void script_lies_in_the_build_time_directory();
    void every_command_runs_the_script_data();
    void every_command_runs_the_script();
    void version_is_that_of_the_dfu_util_run_data();
    void version_is_that_of_the_dfu_util_run();
    void unknown_configuration_gives_exit_2_and_log_line();
    void prepared_configuration_is_seen_by_the_following_commands();
    void scan_sees_the_emulated_devices_data();
    void scan_sees_the_emulated_devices();
    void script_rejects_a_missing_command_name();
};

void TestSimulatorSetup::script_lies_in_the_build_time_directory() {
    QCOMPARE(simulator::dfu_util_path("dfu-util_simulator.sh"), SimWorld::script());
    QVERIFY(QFileInfo(SimWorld::script()).isExecutable());
    QVERIFY(QFileInfo::exists(simulator::dfu_util_path("libusb-1.0.so.0")));
}

void TestSimulatorSetup::every_command_runs_the_script_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<bool>("fast");
    QTest::addColumn<QStringList>("args");
    QStringList const sim{"--dfu-util-command"};
    QTest::newRow("list") << int(DFU::CmdID::list) << false << sim + QStringList{"list", "-d", "0483", "-l"};
    QTest::newRow("list fast") << int(DFU::CmdID::list) << true
                               << sim + QStringList{"list", "--fast-progress", "-d", "0483", "-l"};
    QTest::newRow("version") << int(DFU::CmdID::version) << false << sim + QStringList{"version", "-V"};
    QTest::newRow("OTP") << int(DFU::CmdID::upload_OTP) << false
                         << sim + QStringList{"upload_OTP", "-d", "0483",           "-a",
                                              "2",          "-s", "0x1FFF7800:512", "-U"};
    QTest::newRow("info block") << int(DFU::CmdID::upload_FW_Info) << true
                                << sim + QStringList{"upload_FW", "--fast-progress", "-d", "0483", "-a", "0",
                                                     "-s",        "0x08000000:2048", "-U"};
    QTest::newRow("firmware") << int(DFU::CmdID::upload_FW) << false
                              << sim + QStringList{"upload_FW", "-d", "0483", "-a", "0"};
    QTest::newRow("download") << int(DFU::CmdID::download_FW) << false
                              << sim + QStringList{"download_FW",      "-d", "0483", "-a", "0", "-s",
                                                   "0x08000000:leave", "-D"};
    QTest::newRow("configuration") << int(DFU::CmdID::setup_prepared_config) << false
                                   << sim + QStringList{"setup_prepared_config"};
    QTest::newRow("configuration fast") << int(DFU::CmdID::setup_prepared_config) << true
                                        << sim + QStringList{"setup_prepared_config", "--fast-progress"};
}

void TestSimulatorSetup::every_command_runs_the_script() {
    QFETCH(int, id);
    QFETCH(bool, fast);
    QFETCH(QStringList, args);
    simulator::setup_for_simulated_dfu_util(fast ? simulator::fast_progress : simulator::none);
    QCOMPARE(DFU::commands.size(), 7);
    QCOMPARE(DFU::commands[DFU::CmdID(id)].program, SimWorld::script());
    QCOMPARE(DFU::commands[DFU::CmdID(id)].args, args);
}

void TestSimulatorSetup::version_is_that_of_the_dfu_util_run_data() {
    QTest::addColumn<QString>("dfu_util");
    QTest::newRow("system dfu-util") << "/usr/bin/dfu-util";
    QTest::newRow("dfu-util 0.9") << TEST_DFU_UTIL_0_9;
}

void TestSimulatorSetup::version_is_that_of_the_dfu_util_run() {
    QFETCH(QString, dfu_util);
    QProcess direct;
    direct.start(dfu_util, {"-V"});
    QVERIFY(direct.waitForFinished());
    QByteArray const banner = direct.readAllStandardOutput();
    QVERIFY(banner.startsWith("dfu-util 0."));
    qputenv("DFU_SIM_DFU_UTIL", dfu_util.toLocal8Bit());
    simulator::setup_for_simulated_dfu_util(simulator::none);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^Start .*dfu-util_simulator.sh"));
    DFU::CommandResult result = DFU::run_command(DFU::CmdID::version, {});
    qunsetenv("DFU_SIM_DFU_UTIL");
    QCOMPARE(result.exit_code, 0);
    QCOMPARE(result.output, QString::fromUtf8(banner));
}

void TestSimulatorSetup::unknown_configuration_gives_exit_2_and_log_line() {
    SimWorld world("current-firmware");
    QVERIFY(world.ok());
    simulator::setup_for_simulated_dfu_util(simulator::none);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^Start .*setup_prepared_config.*no-such-world"));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^Exit with 2 from"));
    QTest::ignoreMessage(QtInfoMsg, "Failed to setup simulation config  \"no-such-world\" with code 2");
    QCOMPARE(simulator::sim_setup_prepared_config("no-such-world"), 2);
    QCOMPARE(world.get("dev0", "serial"), QString("325E35633334"));
}

void TestSimulatorSetup::prepared_configuration_is_seen_by_the_following_commands() {
    SimWorld world("no-device");
    QVERIFY(world.ok());
    simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^Start .*setup_prepared_config.*other-product"));
    QCOMPARE(simulator::sim_setup_prepared_config("other-product"), 0);

    DFU::CommandResult listing = DFU::run_command(DFU::CmdID::list, {});
    QCOMPARE(listing.exit_code, 0);
    QCOMPARE(listing.output.split('\n').filter(QRegularExpression("^Found DFU: \\[0483:df11\\]")).size(), 4);

    QString const otp_file = files.filePath("otp.bin");
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^Start .*upload_OTP"));
    QCOMPARE(DFU::run_command(DFU::CmdID::upload_OTP, {otp_file}).exit_code, 0);
    QFile otp(otp_file);
    QVERIFY(otp.open(QIODevice::ReadOnly));
    QByteArray const bytes = otp.readAll();
    QCOMPARE(bytes.size(), 512);
    QCOMPARE(bytes.left(5), QByteArray("\x11\x47\x23\x01\x03", 5));
    QVERIFY(world.emulator_served("dev0 UPLOAD 0x1FFF7800 len=512"));
}

void TestSimulatorSetup::scan_sees_the_emulated_devices_data() {
    QTest::addColumn<QString>("configuration");
    QTest::addColumn<int>("error");
    QTest::addColumn<QStringList>("serials");
    QTest::newRow("one device") << "old-firmware" << 0 << QStringList{"325E35633334"};
    QTest::newRow("no device") << "no-device" << 1 << QStringList{};
    QTest::newRow("two devices") << "two-devices" << 1 << QStringList{"336032683536", "325E35633334"};
    QTest::newRow("denied") << "no-access" << 1 << QStringList{};
}

void TestSimulatorSetup::scan_sees_the_emulated_devices() {
    QFETCH(QString, configuration);
    QFETCH(int, error);
    QFETCH(QStringList, serials);
    SimWorld world(configuration);
    QVERIFY(world.ok());
    simulator::setup_for_simulated_dfu_util(simulator::none);
    DFU::ScanResult const scan = DFU::make_scan();
    QCOMPARE(scan.error, error);
    QStringList found;
    for (auto const& device : scan.devices)
        found << device.serial;
    QCOMPARE(found, serials);
    QVERIFY(world.emulator_served("LIST devices="));
}

void TestSimulatorSetup::script_rejects_a_missing_command_name() {
    QProcess process;
    process.start(SimWorld::script(), {"-d", "0483", "-l"});
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitCode(), 64);
    QVERIFY(process.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestSimulatorSetup)
#include "tst_simulator_setup.moc"
