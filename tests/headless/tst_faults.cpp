// The program without a window, run as a process against the real dfu-util and the emulated bootloader, in
// the situations a user meets when something goes wrong: what it tells, how it ends, and what the flash
// holds afterwards.

#include "sim_fixture.h"
#include "test_config.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/mount.h>

namespace {

QString const updater = QStringLiteral(TEST_BUILD_DIR "/updater");
QString const system_dfu_util = QStringLiteral("/usr/bin/dfu-util");

// What a run printed so far; reading drains the pipe, so the tool never blocks on a full one.
class Run {
public:
    explicit Run(QStringList const& arguments,
                 QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(),
                 QString const& temporary_root = QString()) {
        if (!temporary_root.isEmpty())
            environment.insert("TMPDIR", temporary_root);
        process.setProcessEnvironment(environment);
        process.start(updater, arguments);
        process.waitForStarted();
    }
    ~Run() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    bool wait_for(QString const& text, int ms = 20000) {
        QElapsedTimer clock;
        clock.start();
        while (!read().contains(text, Qt::CaseInsensitive) && clock.elapsed() < ms &&
               process.state() == QProcess::Running)
            process.waitForReadyRead(50);
        return read().contains(text, Qt::CaseInsensitive);
    }
    QString const& read() {
        printed += QString::fromUtf8(process.readAllStandardOutput());
        return printed;
    }
    void signal(int signal_number) {
        // Never 0: that would signal the test's own process group.
        QVERIFY(process.processId() > 0);
        ::kill(static_cast<pid_t>(process.processId()), signal_number);
    }
    int exit_code(int ms = 60000) {
        if (!process.waitForFinished(ms))
            return -2;
        read();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QProcess process;
    QString printed;
};

// The emulator logs the leave request last in a download: dfu-util has ended.
bool wait_for_write_end(SimWorld const& world) {
    QElapsedTimer clock;
    clock.start();
    while (world.log().filter(" LEAVE").isEmpty() && clock.elapsed() < 40000)
        QTest::qWait(100);
    QTest::qWait(300);
    return !world.log().filter(" LEAVE").isEmpty();
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

    QTemporaryDir temporary_root;

private slots:
    void initTestCase() { QVERIFY(QFile::exists(updater)); }

    // Whatever happens to the tool once a write has started, the write runs to its end.
    void write_outlives_the_tool_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("exit_code"); // -1: the tool is killed
        QTest::newRow("terminal closed (SIGHUP)") << "hup" << 128 + SIGHUP;
        QTest::newRow("Ctrl+C twice") << "int int" << -1;
        QTest::newRow("reader of its output gone") << "close" << 0;
        QTest::newRow("kill -9") << "kill" << -1;
    }
    void write_outlives_the_tool() {
        QFETCH(QString, what);
        QFETCH(int, exit_code);
        SimWorld world("old-firmware", false);
        QVERIFY(world.ok() && world.set_quick_flash());
        Run run({"-s", "--headless"}, QProcessEnvironment::systemEnvironment(), temporary_root.path());
        QTRY_VERIFY_WITH_TIMEOUT(!world.log().filter(" ERASE ").isEmpty(), 30000);

        if (what == "hup") {
            run.signal(SIGHUP);
            QVERIFY(run.wait_for("finishing the firmware write", 2000));
        } else if (what == "int int") {
            run.signal(SIGINT);
            QVERIFY(run.wait_for("finishing the firmware write", 2000));
            run.signal(SIGINT);
        } else if (what == "close") {
            run.process.closeReadChannel(QProcess::StandardOutput);
        } else {
            run.signal(SIGKILL);
        }

        QCOMPARE(run.exit_code(), exit_code);
        QVERIFY(wait_for_write_end(world));
        QVERIFY(world.holds_embedded_image());
    }

    // Each situation is told in a few seconds, with what to do; a run that can still go on waits. Rows of
    // what bootloaders do around dfu-util run against dfu-util 0.9 and the system's release.
    void situation_is_told_data() {
        QTest::addColumn<QString>("configuration");
        QTest::addColumn<QString>("told");
        QTest::addColumn<int>("exit_code"); // -2: still waiting
        QTest::addColumn<QString>("never"); // words the run must not print; empty: none
        QTest::addColumn<QString>("dfu_util");
        auto const row = [](char const* name, char const* configuration, char const* told, int exit_code,
                            char const* never = "") {
            QTest::newRow(name) << configuration << told << exit_code << never << system_dfu_util;
        };
        auto const both = [](char const* name, char const* configuration, char const* told, int exit_code,
                             char const* never = "") {
            for (QString const& dfu_util : {system_dfu_util, QStringLiteral(TEST_DFU_UTIL_0_9)})
                QTest::addRow("%s, %s", name, qPrintable(dfu_util))
                    << configuration << told << exit_code << never << dfu_util;
        };
        row("no USB permission", "no-access", "may not access it over USB", -2);
        row("two units", "two-devices", "Disconnect all but the one to upgrade", -2);
        row("two units, one serial", "same-serial", "Disconnect all but the one", -2);
        row("no answer", "otp-read-error", "did not answer", 5);
        both("interface held elsewhere", "claim-busy", "in use by another program", -2, "did not answer");
        both("interface held for a while", "claimed-a-while", "matches", 0,
             "disconnect the USB cable, restart");
        both("upgrade", "old-firmware", "matches", 0);
        both("leave request unanswered", "leave-no-manifest", "matches", 0, "did not complete");
        row("busy for ever", "busy-forever", "did not answer", 5);
        row("another vendor's DFU device beside it", "foreign-vendor", "matches", 0);
        row("verification fails", "bad-cell", "firmware read back from the product differs", 2);
        both("write fails", "write-fault", "still in update mode", 7, "disconnect the USB cable, restart");
        row("write cut by a disconnect", "disconnect-mid-download", "restart the product in update mode", 7);
        row("another product", "other-product", "only the Zentova F20 Plus and Zentova F20", 3);
        row("blank product record", "blank-otp", "identity record is empty", 4);
        row("unit does not come back", "no-reenter", "written but not", 8);
    }
    void situation_is_told() {
        QFETCH(QString, configuration);
        QFETCH(QString, told);
        QFETCH(int, exit_code);
        QFETCH(QString, never);
        QFETCH(QString, dfu_util);
        SimWorld world(configuration);
        QVERIFY(world.ok());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DFU_SIM_DFU_UTIL", dfu_util);
        Run run({"-s", "--headless"}, environment, temporary_root.path());

        QVERIFY2(run.wait_for(told, 40000), qPrintable(run.read()));
        QCOMPARE(run.exit_code(exit_code == -2 ? 1500 : 5000), exit_code);
        QVERIFY2(never.isEmpty() || !run.read().contains(never, Qt::CaseInsensitive), qPrintable(run.read()));
        if (exit_code == 0)
            QVERIFY(world.holds_embedded_image());
    }

    // A read or a listing under way ends with the tool, even one killed outright.
    void read_ends_with_the_tool_data() {
        QTest::addColumn<QString>("dfu_util");
        QTest::newRow("system dfu-util") << system_dfu_util;
        QTest::newRow("dfu-util 0.9") << QStringLiteral(TEST_DFU_UTIL_0_9);
    }
    void read_ends_with_the_tool() {
        QFETCH(QString, dfu_util);
        SimWorld world("current-firmware", false);
        QVERIFY(world.ok());
        QFile timing(world.dir() + "/world.txt");
        QVERIFY(timing.open(QIODevice::Append));
        timing.write("upload_ms=100\n");
        timing.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DFU_SIM_DFU_UTIL", dfu_util);
        Run run({"-s", "--headless"}, environment, temporary_root.path());
        QTRY_VERIFY_WITH_TIMEOUT(!world.log().filter("UPLOAD 0x08000000 len=2048").isEmpty() &&
                                     world.log().filter("UPLOAD").size() > 20,
                                 30000);
        QString const last = world.log().filter("UPLOAD").last();
        pid_t const reader = static_cast<pid_t>(last.section(' ', 0, 0).section('=', 1).toInt());
        QVERIFY(reader > 0 && ::kill(reader, 0) == 0);

        run.signal(SIGKILL);
        QCOMPARE(run.exit_code(), -1);
        QTRY_VERIFY_WITH_TIMEOUT(::kill(reader, 0) != 0, 2000);
    }

    // Once this user may open the unit, the run goes on by itself.
    void access_granted_later_goes_on() {
        SimWorld world("no-access");
        QVERIFY(world.ok());
        Run run({"-s", "--headless"}, QProcessEnvironment::systemEnvironment(), temporary_root.path());
        QVERIFY(run.wait_for("may not access"));
        QVERIFY(world.set("dev0", "open_denied", "0"));
        QCOMPARE(run.exit_code(), 0);
        QVERIFY(world.holds_embedded_image());
    }

    // After the download another unit shows up first: it is judged on its own, but the run ends only with
    // the verdict about the unit that was written.
    void verdict_is_about_the_written_unit() {
        SimWorld world("two-devices");
        QVERIFY(world.ok());
        world.write_flash(SimWorld::embedded_image(), "dev1");
        QVERIFY(world.unplug("dev1"));
        QVERIFY(world.set("dev0", "reenter", "0"));
        Run run({"-s", "--headless"}, QProcessEnvironment::systemEnvironment(), temporary_root.path());
        QTRY_VERIFY_WITH_TIMEOUT(!world.log().filter(" LEAVE").isEmpty(), 20000);
        QVERIFY(world.unplug("dev0"));
        QVERIFY(world.plug("dev1"));

        QVERIFY2(run.wait_for("has not been verified yet"), qPrintable(run.read()));
        QVERIFY2(run.wait_for("upgraded product not verified"), qPrintable(run.read()));
        QVERIFY(!run.read().contains("Done."));
        QVERIFY(world.unplug("dev1"));
        QVERIFY(world.plug("dev0"));

        QCOMPARE(run.exit_code(), 0);
        QCOMPARE(run.read().count("Done. Disconnect USB cable."), 1);
        QVERIFY(world.holds_embedded_image());
    }

    // A short upload is never data: a short OTP or firmware block read is a read error and nothing is
    // written; a short read-back is no verdict.
    void truncated_read_is_never_taken_data() {
        QTest::addColumn<QString>("configuration");
        QTest::addColumn<QString>("upload_bytes");
        QTest::addColumn<int>("exit_code");
        QTest::newRow("OTP area") << "old-firmware"
                                  << "16" << 5;
        QTest::newRow("firmware block") << "old-firmware"
                                        << "1000" << 5;
        QTest::newRow("read-back") << "current-firmware"
                                   << "200000" << 6;
    }
    void truncated_read_is_never_taken() {
        QFETCH(QString, configuration);
        QFETCH(QString, upload_bytes);
        QFETCH(int, exit_code);
        SimWorld world(configuration);
        QVERIFY(world.ok());
        QVERIFY(world.set("dev0", "short_upload", upload_bytes));
        QByteArray const flash = world.flash();
        Run run({"-s", "--headless"}, QProcessEnvironment::systemEnvironment(), temporary_root.path());
        QCOMPARE(run.exit_code(), exit_code);
        QCOMPARE(world.flash(), flash);
        QVERIFY(world.log().filter(" ERASE ").isEmpty());
    }

    // Without whole private files nothing is written, and start-up says why.
    void unusable_private_directory_data() {
        QTest::addColumn<bool>("full_disk");
        QTest::newRow("temporary directory is a file") << false;
        QTest::newRow("disk full") << true;
    }
    void unusable_private_directory() {
        QFETCH(bool, full_disk);
        SimWorld world("old-firmware");
        QVERIFY(world.ok());
        QByteArray const flash = world.flash();
        QTemporaryDir place;
        QString root = place.filePath("not-a-directory");
        if (full_disk) {
            root = place.path();
            // Room for the private directory, not for the firmware image.
            QCOMPARE(::mount("tmpfs", QFile::encodeName(root).constData(), "tmpfs", 0, "size=200k"), 0);
        } else {
            QFile file(root);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", world.dir());
        Run run({"-s", "--headless"}, environment, root);
        int const code = run.exit_code();
        if (full_disk)
            ::umount(QFile::encodeName(root).constData());
        QCOMPARE(code, 9);
        QVERIFY(run.read().contains("cannot unpack its files"));
        QCOMPARE(world.flash(), flash);
        QVERIFY(world.log().filter(" OPEN").isEmpty());
    }

    // A second instance on the same bus touches no unit.
    void second_instance_is_refused() {
        SimWorld world("old-firmware", false);
        QVERIFY(world.ok() && world.set_quick_flash());
        Run first({"-s", "--headless"}, QProcessEnvironment::systemEnvironment(), temporary_root.path());
        QVERIFY(first.wait_for("Connected to a F20"));
        Run second({"-s", "--headless"}, QProcessEnvironment::systemEnvironment(), temporary_root.path());
        QCOMPARE(second.exit_code(5000), 10);
        QVERIFY(second.read().contains("already running"));
        QCOMPARE(first.exit_code(), 0);
        QVERIFY(world.holds_embedded_image());
    }

    // Without dfu-util, or without a display for the window, the tool says what to do and leaves nothing.
    void nothing_to_run_with_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("told");
        QTest::addColumn<int>("exit_code");
        QTest::newRow("no dfu-util") << QStringList{"--headless"} << "apt-get install dfu-util" << 11;
        QTest::newRow("no display") << QStringList() << "--headless" << 1;
    }
    void nothing_to_run_with() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, told);
        QFETCH(int, exit_code);
        QTemporaryDir root;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH", root.path());
        for (char const* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        Run run(arguments, environment, root.path());
        QCOMPARE(run.exit_code(10000), exit_code);
        QString const told_all = run.read() + QString::fromUtf8(run.process.readAllStandardError());
        QVERIFY2(told_all.contains(told), qPrintable(told_all));
        QVERIFY(QDir(root.path()).entryList({"upgrade_*"}, QDir::Dirs).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
