// The program without a window, run as a process against the emulated bootloader: printed course, exit
// codes, and an orderly end on SIGINT and SIGTERM that leaves no temporary directory behind.

#include "sim_fixture.h"
#include "test_config.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

QString const updater = QStringLiteral(TEST_BUILD_DIR "/updater");
QString const no_device_text =
    "Waiting for a product in update mode. To put it there: disconnect its power cable, wait 2 minutes, "
    "hold the left \"MODEL\" button while connecting power, then connect the USB cable.";
QString const writing_text =
    "Writing the firmware… do not disconnect the USB cable or the power until the result "
    "line says the upgrade is checked.";
QString const restarting_text =
    "The firmware is written. The product now restarts and is read back to check it: "
    "do not disconnect the USB cable or the power yet.";

QStringList output_lines(QProcess& process) {
    QStringList lines;
    for (QString const& line : QString::fromUtf8(process.readAllStandardOutput()).split('\n')) {
        if (!line.isEmpty() && !line.startsWith("device_has_valid_type(")) {
            lines << line;
        }
    }
    return lines;
}

QStringList upgrade_directories(QString const& temporary_root) {
    return QDir(temporary_root).entryList({"upgrade_*"}, QDir::Dirs | QDir::NoDotAndDotDot);
}

} // namespace

class TestHeadless : public QObject {
    Q_OBJECT

    // The program's private directory is made below TMPDIR, so each run's leftovers can be seen.
    QTemporaryDir temporary_root;

    void start(QProcess& process, QStringList const& arguments, bool window = false,
               QString const& program = updater) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", temporary_root.path());
        if (window) {
            environment.insert("QT_QPA_PLATFORM", "offscreen");
        }
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        QVERIFY(process.waitForStarted());
    }

private slots:
    void initTestCase() { QVERIFY(QFile::exists(updater)); }

    void verdict_and_printed_course_data() {
        QTest::addColumn<QString>("configuration");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QStringList>("expected_lines");
        QTest::addColumn<bool>("downloads");
        QTest::newRow("older firmware is upgraded")
            << "old-firmware" << 0
            << QStringList({no_device_text, "Connected to a F20.",
                            "Connected to a F20 with firmware version 2.6.3", "0% Upgrading firmware",
                            "0% Uploading & verifying", "100% Done. Disconnect USB cable.",
                            "Connected to a F20 with firmware version 2.7.0",
                            "Result: firmware matches the embedded one (exit code 0)"})
            << true;
        QTest::newRow("current firmware is verified without a download")
            << "current-firmware" << 0
            << QStringList({"Connected to a F20.",
                            "Connected to a F20 that already holds 2.7.0; checking it.",
                            "0% Uploading & verifying", "100% Done. Disconnect USB cable.",
                            "Result: firmware matches the embedded one (exit code 0)"})
            << false;
        QTest::newRow("write fault") << "write-fault" << 7
                                     << QStringList(
                                            {"0% Upgrading firmware",
                                             "Result: the firmware write did not complete: dfu-util: "
                                             "Failed to write whole chunk: -1 of 2048 bytes (exit code 7)"})
                                     << true;
        QTest::newRow("cell that does not program")
            << "bad-cell" << 2
            << QStringList(
                   {writing_text, restarting_text,
                    "The upgrade failed: the firmware read back from the product differs from the one "
                    "written. Run the tool again to try again.",
                    "Result: firmware still differs after the download (exit code 2)"})
            << true;
        QTest::newRow("another product")
            << "other-product" << 3
            << QStringList({"Connected to a Nal-70.",
                            "This tool upgrades only the Zentova F20 Plus and Zentova F20; the connected "
                            "product is another one, and this firmware is not for it.",
                            "Result: another product; this firmware is not for it (exit code 3)"})
            << false;
        QTest::newRow("blank product record")
            << "blank-otp" << 4
            << QStringList({"Connected to a unit with a blank product record.",
                            "The product's identity record is empty, so this tool cannot upgrade it. Please "
                            "contact service.",
                            "Result: the product record of the device is blank (exit code 4)"})
            << false;
        QTest::newRow("device that cannot be read")
            << "otp-read-error" << 5 << QStringList({"Result: the device could not be read (exit code 5)"})
            << false;
    }
    void verdict_and_printed_course() {
        QFETCH(QString, configuration);
        QFETCH(int, exit_code);
        QFETCH(QStringList, expected_lines);
        QFETCH(bool, downloads);
        SimWorld world(configuration);
        QVERIFY(world.ok());
        QProcess process;
        start(process, {"-s", "--headless"});

        QVERIFY(process.waitForFinished(60000));

        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QStringList const lines = output_lines(process);
        QVERIFY2(process.exitCode() == exit_code, qPrintable(lines.join('\n')));
        int position = 0;
        for (QString const& expected : expected_lines) {
            int const found = lines.indexOf(expected, position);
            QVERIFY2(found >= 0,
                     qPrintable(QString("missing or out of order: %1\n%2").arg(expected, lines.join('\n'))));
            position = found + 1;
        }
        QCOMPARE(lines.last(), expected_lines.last());
        // Words for a terminal: nothing to click, no numbered steps or title to point at.
        static QRegularExpression const window_words("click|steps? \\d|title|N/A",
                                                     QRegularExpression::CaseInsensitiveOption);
        QVERIFY2(lines.filter(window_words).isEmpty(), qPrintable(lines.filter(window_words).join('\n')));
        QCOMPARE(lines.contains("0% Upgrading firmware"), downloads);
        QVERIFY(upgrade_directories(temporary_root.path()).isEmpty());
    }

    // The device leaves during the pause before the worker takes the download up: nothing was written, so
    // the next read of it is upgraded instead of being judged a failed download.
    void download_dropped_with_the_device_is_ordered_again_for_the_next_read() {
        SimWorld world("old-firmware");
        QVERIFY(world.ok());
        QProcess process;
        start(process, {"-s", "--headless"});
        QString printed;
        auto wait_for_line = [&](QString const& line) {
            QElapsedTimer clock;
            clock.start();
            while (!printed.contains(line + "\n") && clock.elapsed() < 30000 &&
                   process.state() == QProcess::Running) {
                process.waitForReadyRead(50);
                printed += QString::fromUtf8(process.readAllStandardOutput());
            }
            return printed.contains(line + "\n");
        };
        QVERIFY(wait_for_line("Connected to a F20 with firmware version 2.6.3"));
        QVERIFY(world.unplug());
        QVERIFY(wait_for_line("Connected to a F20 with firmware version 2.6.3\n0% Upgrading firmware\n" +
                              writing_text + "\n" + no_device_text));
        QVERIFY(world.log().filter(" ERASE ").isEmpty());
        QVERIFY(world.plug());

        QVERIFY(process.waitForFinished(60000));
        printed += QString::fromUtf8(process.readAllStandardOutput());
        QVERIFY2(process.exitCode() == 0, qPrintable(printed));
        QCOMPARE(printed.count(QRegularExpression("(^|\\n)0% Upgrading firmware\\n")), 2);
        QFile image(SimWorld::image("current-firmware"));
        QVERIFY(image.open(QIODevice::ReadOnly));
        QByteArray const bytes = image.readAll();
        QCOMPARE(world.flash().left(bytes.size()), bytes);
    }

    // Ctrl+C on a terminal reaches the whole process group, dfu-util included: the write must still finish.
    void ctrl_c_during_a_download_lets_the_download_finish() {
        SimWorld world("old-firmware", false);
        QVERIFY(world.ok() && world.set_quick_flash());
        QProcess process;
        start(process, {updater, "-s", "--headless"}, false, "setsid");
        QTRY_VERIFY_WITH_TIMEOUT(!world.log().filter(" ERASE ").isEmpty(), 30000);

        // Never 0: that would signal the test\'s own process group.

        QVERIFY(process.processId() > 0);

        ::kill(-static_cast<pid_t>(process.processId()), SIGINT);

        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 128 + SIGINT);
        // Told to wait for the write, and not that the unit will be checked, since the tool leaves.
        QStringList const lines = output_lines(process);
        QCOMPARE(lines.filter("Finishing the firmware write").size(), 1);
        QCOMPARE(lines.filter(restarting_text).size(), 0);
        QCOMPARE(lines.last(), QString("Result: interrupted after the firmware write (exit code 130)"));
        QVERIFY(!world.log().filter(" LEAVE").isEmpty());
        QFile image(SimWorld::image("current-firmware"));
        QVERIFY(image.open(QIODevice::ReadOnly));
        QByteArray const bytes = image.readAll();
        QCOMPARE(world.flash().left(bytes.size()), bytes);
        QVERIFY(upgrade_directories(temporary_root.path()).isEmpty());
    }

    // A listing that never answers is ended by an interrupt: the tool, with or without its window, leaves
    // within 2 s and leaves no dfu-util behind.
    void interrupt_ends_a_hung_listing_data() {
        QTest::addColumn<bool>("window");
        QTest::newRow("headless") << false;
        QTest::newRow("window") << true;
    }
    void interrupt_ends_a_hung_listing() {
        QFETCH(bool, window);
        QTemporaryDir fake_bin;
        QTemporaryDir own_temporary_root;
        QString const listing_pid = fake_bin.filePath("listing-pid");
        QFile script(fake_bin.filePath("dfu-util"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QString("#!/bin/sh\n"
                             "if [ \"$1\" = \"-V\" ]; then echo 'dfu-util 0.9'; exit 0; fi\n"
                             "echo $$ > '%1'\n"
                             "exec sleep 15\n")
                         .arg(listing_pid)
                         .toUtf8());
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeUser));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH", fake_bin.path() + ":" + environment.value("PATH"));
        environment.insert("TMPDIR", own_temporary_root.path());
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(updater, window ? QStringList() : QStringList{"--headless"});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile(listing_pid).size() > 0, 20000);
        QFile pid_file(listing_pid);
        QVERIFY(pid_file.open(QIODevice::ReadOnly));
        pid_t const listing = pid_file.readAll().trimmed().toInt();
        QVERIFY(listing > 0);

        // Never 0: that would signal the test\'s own process group.

        QVERIFY(process.processId() > 0);

        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);

        // The window's clean-up then waits its 2 s out of sight.
        QVERIFY(process.waitForFinished(window ? 4500 : 2000));
        QCOMPARE(process.exitCode(), 128 + SIGTERM);
        if (!window) {
            QVERIFY(QString::fromUtf8(process.readAllStandardOutput())
                        .contains("Result: interrupted (exit code 143)"));
        }
        QTRY_VERIFY(::kill(listing, 0) != 0);
    }

    void interruption_stops_in_order_and_removes_the_temporary_directory_data() {
        QTest::addColumn<bool>("window");
        QTest::addColumn<int>("signal_number");
        QTest::newRow("headless, SIGINT") << false << SIGINT;
        QTest::newRow("headless, SIGTERM") << false << SIGTERM;
        QTest::newRow("window, SIGINT") << true << SIGINT;
        QTest::newRow("window, SIGTERM") << true << SIGTERM;
    }
    void interruption_stops_in_order_and_removes_the_temporary_directory() {
        QFETCH(bool, window);
        QFETCH(int, signal_number);
        SimWorld world("two-devices");
        QVERIFY(world.ok());
        QProcess process;
        start(process, window ? QStringList({"-s"}) : QStringList({"-s", "--headless"}), window);
        int const listed = world.log().filter("LIST").size();
        QTRY_VERIFY(world.log().filter("LIST").size() >= listed + 2);
        QCOMPARE(upgrade_directories(temporary_root.path()).size(), 1);

        // Never 0: that would signal the test\'s own process group.

        QVERIFY(process.processId() > 0);

        ::kill(static_cast<pid_t>(process.processId()), signal_number);

        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 128 + signal_number);
        QVERIFY(upgrade_directories(temporary_root.path()).isEmpty());
        if (!window) {
            QCOMPARE(output_lines(process).last(),
                     QString("Result: interrupted (exit code %1)").arg(128 + signal_number));
        }
    }
};

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
