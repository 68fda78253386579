// The program without a window, run as a process against the real dfu-util and the emulated bootloader:
// what it removes of the temporary directory and what it leaves alone, and verdicts that name the true
// cause (this computer or the unit) where the two are easily confused. The flash is checked in every case.

#include "sim_fixture.h"
#include "test_config.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

QString const updater = QStringLiteral(TEST_BUILD_DIR "/updater");

void write_file(QString const& path, QByteArray const& bytes = "x") {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(bytes);
}

// The tool in its own directories: TMPDIR as given (or unset when empty), XDG_RUNTIME_DIR private.
class Run {
public:
    Run(QStringList const& arguments, QString const& temporary_root, QString const& runtime_dir) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", temporary_root);
        if (runtime_dir.isEmpty())
            environment.remove("XDG_RUNTIME_DIR");
        else
            environment.insert("XDG_RUNTIME_DIR", runtime_dir);
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
    Run(Run const&) = delete;
    Run& operator=(Run const&) = delete;

    QString const& read() {
        printed += QString::fromUtf8(process.readAllStandardOutput());
        return printed;
    }
    int exit_code(int ms = 90000) {
        QElapsedTimer clock;
        clock.start();
        // Drained while it runs, so that the tool never blocks on a full pipe.
        while (process.state() != QProcess::NotRunning && clock.elapsed() < ms) {
            process.waitForFinished(100);
            read();
        }
        if (process.state() != QProcess::NotRunning)
            return -2;
        read();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    void signal(int signal_number) {
        QVERIFY(process.processId() > 0);
        ::kill(static_cast<pid_t>(process.processId()), signal_number);
    }

    QProcess process;
    QString printed;
};

QStringList private_dirs(QString const& root) {
    return QDir(root).entryList({"upgrade_*"}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
}

bool wait_for_log(SimWorld const& world, QString const& request, int ms = 40000) {
    QElapsedTimer clock;
    clock.start();
    while (world.log().filter(request).isEmpty() && clock.elapsed() < ms)
        QTest::qWait(50);
    return !world.log().filter(request).isEmpty();
}

// Fills the file system below `dir` until a write fails.
void fill(QString const& dir) {
    QFile file(dir + "/filler");
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray const block(4096, '\0');
    while (file.write(block) == block.size() && file.flush()) {
    }
}

} // namespace

class TestCauses : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(QFile::exists(updater));
        QVERIFY(!SimWorld::embedded_image().isEmpty());
    }

    // Only directories that the tool made and whose run is gone are removed, without following a link;
    // a temporary directory that cannot be used stops the run before anything is made or touched.
    void private_directories_data() {
        QTest::addColumn<QString>("planted");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QStringList>("kept"); // below TMPDIR, or $outside: a directory beside it
        QTest::addColumn<QStringList>("gone");
        QTest::newRow("a user's directories named like the tool's")
            << "user" << 0 << QStringList{"upgrade_2023_photos/a.jpg", "upgrade_abc123/firmware.bin"}
            << QStringList();
        QTest::newRow("stale directory of a killed run")
            << "stale" << 0 << QStringList() << QStringList{"$stale"};
        QTest::newRow("directory of a living run")
            << "living" << 0 << QStringList{"upgrade_Live01/owner.lock", "upgrade_Live01/firmware.bin"}
            << QStringList();
        QTest::newRow("link planted as a directory")
            << "link-dir" << 0
            << QStringList{"upgrade_Link01", "$outside/owner.lock", "$outside/firmware.bin"} << QStringList();
        QTest::newRow("link planted in a stale directory")
            << "link-inside" << 0 << QStringList{"upgrade_Dead01/firmware.bin", "$outside/precious"}
            << QStringList();
        QTest::newRow("missing TMPDIR") << "missing" << 9 << QStringList() << QStringList();
    }
    void private_directories() {
        QFETCH(QString, planted);
        QFETCH(int, exit_code);
        QFETCH(QStringList, kept);
        QFETCH(QStringList, gone);
        SimWorld world("old-firmware");
        QVERIFY(world.ok());
        QByteArray const flash = world.flash();
        QTemporaryDir temporary, outside, runtime;
        QString root = temporary.path();
        QString stale;
        int living_lock = -1;
        if (planted == "user") {
            QVERIFY(QDir(root).mkpath("upgrade_2023_photos") && QDir(root).mkpath("upgrade_abc123"));
            write_file(root + "/upgrade_2023_photos/a.jpg");
            write_file(root + "/upgrade_abc123/firmware.bin");
        } else if (planted == "stale") {
            SimWorld waiting("no-device");
            Run killed({"-s", "--headless"}, root, runtime.path());
            QTRY_VERIFY_WITH_TIMEOUT(
                !private_dirs(root).isEmpty() &&
                    QFile::exists(root + "/" + private_dirs(root).first() + "/firmware.bin"),
                20000);
            killed.signal(SIGKILL);
            QCOMPARE(killed.exit_code(), -1);
            stale = private_dirs(root).value(0);
            QVERIFY(QFile::exists(root + "/" + stale + "/owner.lock"));
        } else if (planted == "living") {
            QVERIFY(QDir(root).mkpath("upgrade_Live01"));
            write_file(root + "/upgrade_Live01/firmware.bin");
            living_lock = ::open(QFile::encodeName(root + "/upgrade_Live01/owner.lock").constData(),
                                 O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            QVERIFY(living_lock >= 0 && ::flock(living_lock, LOCK_EX) == 0);
        } else if (planted == "link-dir") {
            write_file(outside.path() + "/owner.lock");
            write_file(outside.path() + "/firmware.bin");
            QVERIFY(QFile::link(outside.path(), root + "/upgrade_Link01"));
        } else if (planted == "link-inside") {
            QVERIFY(QDir(root).mkpath("upgrade_Dead01"));
            write_file(root + "/upgrade_Dead01/owner.lock");
            write_file(outside.path() + "/precious");
            QVERIFY(QFile::link(outside.path() + "/precious", root + "/upgrade_Dead01/firmware.bin"));
        } else if (planted == "missing") {
            root = temporary.path() + "/nonexistent";
        }
        QStringList const on_root_before = QDir("/").entryList({"upgrade_*", "runtime-*"}, QDir::AllEntries);
        QStringList const before = private_dirs(temporary.path());

        Run run({"-s", "--headless"}, root, planted == "missing" ? QString() : runtime.path());
        QCOMPARE(run.exit_code(), exit_code);
        if (living_lock >= 0)
            ::close(living_lock);

        for (QString path : kept) {
            path.replace("$outside", outside.path());
            QString const full = path.startsWith('/') ? path : root + "/" + path;
            QVERIFY2(QFileInfo::exists(full) || QFileInfo(full).isSymLink(), qPrintable(full));
        }
        for (QString path : gone) {
            path.replace("$stale", stale);
            QVERIFY2(!QFileInfo::exists(root + "/" + path), qPrintable(path));
        }
        // The run's own directory goes with it.
        QStringList left = private_dirs(temporary.path());
        left.removeAll(stale);
        QStringList expected = before;
        expected.removeAll(stale);
        QCOMPARE(left, expected);
        QCOMPARE(QDir("/").entryList({"upgrade_*", "runtime-*"}, QDir::AllEntries), on_root_before);
        if (exit_code == 0) {
            QVERIFY(world.holds_embedded_image());
        } else {
            QVERIFY2(run.read().contains(root) && run.read().contains("No such file or directory"),
                     qPrintable(run.read()));
            QCOMPARE(world.flash(), flash);
            QVERIFY(world.log().filter(" OPEN").isEmpty());
        }
    }

    // A disk that fills after the start is this computer's failure: exit 9 with the directory and the cause,
    // never a verdict about the unit, which is left as it was (or as written).
    void full_disk_after_start_data() {
        QTest::addColumn<bool>("during_write");
        QTest::newRow("before the unit is read") << false;
        QTest::newRow("during the write") << true;
    }
    void full_disk_after_start() {
        QFETCH(bool, during_write);
        SimWorld world("old-firmware", !during_write);
        QVERIFY(world.ok());
        QByteArray const flash = world.flash();
        if (!during_write)
            QVERIFY(world.unplug());
        QTemporaryDir place, runtime;
        QByteArray const root = QFile::encodeName(place.path());
        QCOMPARE(::mount("tmpfs", root.constData(), "tmpfs", 0, "size=2m"), 0);
        int code = -3;
        QString printed;
        {
            Run run({"-s", "--headless"}, place.path(), runtime.path());
            if (during_write) {
                QVERIFY(wait_for_log(world, " ERASE "));
                fill(place.path());
            } else {
                QTRY_VERIFY_WITH_TIMEOUT(!private_dirs(place.path()).isEmpty(), 20000);
                QTRY_VERIFY(run.read().contains("Waiting for a product"));
                fill(place.path());
                QVERIFY(world.plug());
            }
            code = run.exit_code();
            printed = run.read();
        }
        bool const private_dir_gone = private_dirs(place.path()).isEmpty();
        ::umount(root.constData());

        QCOMPARE(code, 9);
        QVERIFY2(printed.contains(place.path() + "/upgrade_") && printed.contains("No space left on device"),
                 qPrintable(printed));
        QVERIFY(!printed.contains("did not answer"));
        QVERIFY(private_dir_gone);
        if (during_write) {
            QVERIFY(world.holds_embedded_image());
        } else {
            QCOMPARE(world.flash(), flash);
            QVERIFY(world.log().filter(" ERASE ").isEmpty());
        }
    }

    // A unit whose serial cannot be read is told as unreadable and never touched; the others are listed and
    // upgraded as usual.
    void unreadable_serial_among_units() {
        SimWorld world("four-devices");
        QVERIFY(world.ok());
        QVERIFY(world.set("dev1", "serial_unreadable", "1"));
        QByteArray const flash = world.flash("dev1");
        QTemporaryDir temporary, runtime;

        Run list({"-s", "--list"}, temporary.path(), runtime.path());
        QCOMPARE(list.exit_code(), 0);
        QStringList const lines = list.read().split('\n', Qt::SkipEmptyParts);
        for (QString const serial : {"325E35633334", "3473356B3432", "35843A713938"})
            QCOMPARE(lines.filter(serial).filter("upgrade to").size(), 1);
        QCOMPARE(lines.filter("1-3").filter("unreadable").size(), 1);

        Run upgrade({"-s", "--headless", "--serial", "3473356B3432"}, temporary.path(), runtime.path());
        QCOMPARE(upgrade.exit_code(), 0);
        QVERIFY(world.holds_embedded_image("dev2"));
        QCOMPARE(world.flash("dev1"), flash);
        QVERIFY(world.log().filter("dev1 UPLOAD").isEmpty());
    }

    // Held (SIGSTOP) past the verify wait and the time-out while the written unit comes back: the tool looks
    // at the bus once more and verifies the unit instead of calling it not verified. A unit that does not
    // come back is still told as not verified.
    void written_unit_is_looked_for_once_more_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("comes_back");
        QTest::addColumn<int>("exit_code");
        QTest::newRow("stopped 35 s across the restart") << QStringList() << true << 0;
        QTest::newRow("stopped 35 s across the restart, --timeout 30")
            << QStringList{"--timeout", "30"} << true << 0;
        QTest::newRow("does not come back, --timeout 3") << QStringList{"--timeout", "3"} << false << 8;
    }
    void written_unit_is_looked_for_once_more() {
        QFETCH(QStringList, options);
        QFETCH(bool, comes_back);
        QFETCH(int, exit_code);
        SimWorld world("old-firmware", false);
        QVERIFY(world.ok());
        // A real unit is back a second after the write whether or not anyone lists the bus meanwhile.
        QVERIFY(world.set("dev0", "reenter_lists", "0"));
        if (!comes_back)
            QVERIFY(world.set("dev0", "reenter", "0"));
        QTemporaryDir temporary, runtime;
        Run run(QStringList{"-s", "--headless"} + options, temporary.path(), runtime.path());
        QVERIFY(wait_for_log(world, " LEAVE", 90000));
        if (comes_back) {
            run.signal(SIGSTOP);
            QTest::qWait(35000);
            run.signal(SIGCONT);
        }
        QCOMPARE(run.exit_code(), exit_code);
        QCOMPARE(run.read().contains("Done. Disconnect USB cable."), comes_back);
        QCOMPARE(run.read().contains("not verified"), !comes_back);
        QVERIFY(world.holds_embedded_image());
    }
};

QTEST_GUILESS_MAIN(TestCauses)
#include "tst_causes.moc"
