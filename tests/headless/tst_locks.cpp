// One writer per unit on the whole machine, as processes against the real dfu-util and the emulated
// bootloader: a write left running by a killed run keeps its unit from every other run until it ends, runs
// for one unit exclude each other whatever the spelling of its serial and whatever their environment, and
// a child gets nothing it should not hold.

#include "sim_fixture.h"
#include "test_config.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <unistd.h>

namespace {

QString const updater = QStringLiteral(TEST_BUILD_DIR "/updater");
QString const serial = QStringLiteral("325E35633334");
QString const still_finishing = QStringLiteral("still finishing");

bool wait_until(std::function<bool()> const& condition, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < ms)
        QTest::qWait(50);
    return condition();
}

// The emulator logs the leave request last in a download: dfu-util has ended.
bool wait_for_write_end(SimWorld const& world) {
    bool const ended = wait_until([&] { return !world.log().filter(" LEAVE").isEmpty(); }, 40000);
    QTest::qWait(300);
    return ended;
}

// How many dfu-util runs erased flash.
int writers(SimWorld const& world) {
    QSet<QString> processes;
    for (QString const& line : world.log().filter(" ERASE "))
        processes.insert(line.section(' ', 0, 0));
    return processes.size();
}

bool write_started(SimWorld const& world) {
    return !world.log().filter(" ERASE ").isEmpty();
}

// Private TMPDIR and XDG_RUNTIME_DIR for each run; the emulated world is the test's.
class Environment {
public:
    QProcessEnvironment make() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", temporary.path());
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        return environment;
    }

private:
    QTemporaryDir temporary;
    QTemporaryDir runtime;
};

// Starts the tool with SIGCHLD ignored, as some launchers do; an ignored signal stays ignored across exec.
class ChildSignalIgnoringProcess : public QProcess {
protected:
    void setupChildProcess() override { ::signal(SIGCHLD, SIG_IGN); }
};

struct Finished {
    int exit_code = -2; // -1: crashed or killed, -2: still running
    QString output;
};

Finished run_to_end(QProcess& process, int ms = 60000) {
    Finished finished;
    if (!process.waitForFinished(ms))
        return finished;
    finished.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    finished.output = QString::fromUtf8(process.readAllStandardOutput());
    return finished;
}

void start(QProcess& process, QStringList const& arguments, Environment const& environment) {
    process.setProcessEnvironment(environment.make());
    process.start(updater, arguments);
    QVERIFY(process.waitForStarted());
}

void kill_hard(QProcess& process) {
    QVERIFY(process.processId() > 0);
    ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
    QVERIFY(process.waitForFinished(5000));
}

} // namespace

class TestLocks : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(QFile::exists(updater));
        QVERIFY(!SimWorld::embedded_image().isEmpty());
    }

    // After kill -9 of a run during its write, the orphaned dfu-util keeps the unit: the next run, however
    // it is started, says that a write is finishing and touches nothing; the write completes whole.
    void orphaned_write_keeps_its_unit_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("never_said");
        QTest::newRow("headless") << QStringList{"-s", "--headless"} << 10
                                  << "disconnect the usb cable, restart";
        QTest::newRow("serial in lower case")
            << QStringList{"-s", "--headless", "--serial", serial.toLower()} << 10 << "already running";
        QTest::newRow("list") << QStringList{"-s", "--list"} << 0 << "already current";
    }
    void orphaned_write_keeps_its_unit() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exit_code);
        QFETCH(QString, never_said);
        SimWorld world("old-firmware", false);
        QVERIFY(world.ok());
        Environment environment;
        QProcess writer;
        start(writer, {"-s", "--headless"}, environment);
        QVERIFY(wait_until([&] { return write_started(world); }, 30000));
        kill_hard(writer);
        int const reads_before = world.log().filter(" UPLOAD ").size();

        QProcess next;
        Environment const other_environment;
        start(next, arguments, other_environment);
        Finished const finished = run_to_end(next, 20000);

        QVERIFY2(finished.output.contains(still_finishing, Qt::CaseInsensitive), qPrintable(finished.output));
        QVERIFY2(!finished.output.contains(never_said, Qt::CaseInsensitive), qPrintable(finished.output));
        QCOMPARE(finished.exit_code, exit_code);
        QVERIFY2(world.log().filter(" LEAVE").isEmpty(), "the write ended before the next run was judged");
        QCOMPARE(world.log().filter(" UPLOAD ").size(), reads_before);
        QVERIFY(wait_for_write_end(world));
        QVERIFY(world.holds_embedded_image());
    }

    // The window keeps polling while another run's write finishes, reads nothing of the unit meanwhile, and
    // reads it once the write has ended.
    void window_waits_for_an_orphaned_write_then_reads_the_unit() {
        SimWorld world("old-firmware", false);
        QVERIFY(world.ok());
        Environment environment;
        QProcess writer;
        start(writer, {"-s", "--headless"}, environment);
        QVERIFY(wait_until([&] { return write_started(world); }, 30000));
        kill_hard(writer);

        QProcess window;
        Environment const other_environment;
        QProcessEnvironment window_environment = other_environment.make();
        window_environment.insert("QT_QPA_PLATFORM", "offscreen");
        window.setProcessEnvironment(window_environment);
        window.start(updater, {"-s"});
        QVERIFY(window.waitForStarted());
        QString log;
        auto const logged = [&](QString const& words) {
            log += QString::fromUtf8(window.readAllStandardError());
            return log.contains(words);
        };
        QVERIFY2(wait_until([&] { return logged("listing situation 5"); }, 15000), qPrintable(log));
        QVERIFY(wait_for_write_end(world));
        QVERIFY2(wait_until([&] { return logged("sig_DevConn"); }, 20000), qPrintable(log));
        window.terminate();
        QVERIFY(window.waitForFinished(10000));

        QStringList const requests = world.log();
        int const leave = requests.indexOf(QRegularExpression(".* LEAVE.*"));
        int const last_erase = requests.lastIndexOf(QRegularExpression(".* ERASE .*"));
        int const first_read_after_write = requests.indexOf(QRegularExpression(".* UPLOAD .*"), last_erase);
        QVERIFY(leave > last_erase);
        QVERIFY2(first_read_after_write > leave, "the window read the unit while it was being written");
        QVERIFY(world.holds_embedded_image());
    }

    // A second run for the same unit is refused at once while the first one upgrades it; the first one is
    // not disturbed.
    void second_run_for_the_unit_is_refused_data() {
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<QString>("world_spelling"); // how the second run names the emulated world
        QTest::newRow("serial in another case")
            << QStringList{"-s", "--headless", "--serial", serial}
            << QStringList{"-s", "--headless", "--serial", " " + serial.toLower()} << "same";
        QTest::newRow("other TMPDIR and XDG_RUNTIME_DIR")
            << QStringList{"-s", "--headless"} << QStringList{"-s", "--headless"} << "same";
        QTest::newRow("the world through a symbolic link")
            << QStringList{"-s", "--headless"} << QStringList{"-s", "--headless"} << "link";
        QTest::newRow("without serial beside a run by serial")
            << QStringList{"-s", "--headless", "--serial", serial} << QStringList{"-s", "--list"} << "same";
    }
    void second_run_for_the_unit_is_refused() {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(QString, world_spelling);
        SimWorld world("old-firmware", false);
        QVERIFY(world.ok());
        QTemporaryDir links;
        QString const link = links.filePath("world");
        QVERIFY(QFile::link(world.dir(), link));
        Environment first_environment;
        Environment second_environment;
        QProcess first_run;
        start(first_run, first, first_environment);
        QVERIFY(wait_until([&] { return !world.log().filter(" UPLOAD ").isEmpty(); }, 30000));

        QProcess second_run;
        QProcessEnvironment environment = second_environment.make();
        if (world_spelling == "link")
            environment.insert("DFU_SIM_DIR", link);
        second_run.setProcessEnvironment(environment);
        second_run.start(updater, second);
        Finished const refused = run_to_end(second_run, 20000);
        Finished const upgraded = run_to_end(first_run);

        if (second.contains("--list")) {
            // Read or being written by the first run at the moment of the listing, never judged.
            QVERIFY2(refused.output.contains("in use by another run") ||
                         refused.output.contains(still_finishing),
                     qPrintable(refused.output));
            QVERIFY2(!refused.output.contains("upgrade to") && !refused.output.contains("current"),
                     qPrintable(refused.output));
            QCOMPARE(refused.exit_code, 0);
        } else {
            QCOMPARE(refused.exit_code, 10);
        }
        QCOMPARE(upgraded.exit_code, 0);
        QVERIFY(world.holds_embedded_image());
        QCOMPARE(writers(world), 1);
    }

    // A write that takes longer than any read may is waited for as long as it runs, told every few seconds
    // once it is past a normal write's time, with the time so far and not to disconnect, and never called
    // failed.
    void slow_write_is_waited_for_and_told() {
        SimWorld world("old-firmware", false);
        QVERIFY(world.ok());
        QFile settings(world.dir() + "/world.txt");
        QVERIFY(settings.open(QIODevice::Append));
        settings.write("write_chunk_ms=170\n"); // about 35 s of writing, past the 30 s a read may take
        settings.close();
        Environment environment;
        QProcess run;
        start(run, {"-s", "--headless"}, environment);
        Finished const finished = run_to_end(run, 90000);

        QVERIFY2(finished.exit_code == 0, qPrintable(finished.output));
        QStringList const notices = finished.output.split('\n').filter("Still writing");
        QVERIFY2(notices.size() >= 2, qPrintable(finished.output));
        QVERIFY(notices.first().contains(" 30 s") && notices.last().contains("disconnect"));
        QVERIFY(notices.filter(" 30 s").size() == 1);
        QVERIFY(!finished.output.contains("failed", Qt::CaseInsensitive));
        QCOMPARE(writers(world), 1);
        QVERIFY(world.holds_embedded_image());
    }

    // A launcher that leaves SIGCHLD ignored must not make every dfu-util run look like a crash.
    void upgrade_with_child_signal_ignored() {
        SimWorld world("old-firmware");
        QVERIFY(world.ok());
        Environment environment;
        ChildSignalIgnoringProcess run;
        start(run, {"-s", "--headless"}, environment);
        Finished const finished = run_to_end(run);
        QVERIFY2(finished.exit_code == 0, qPrintable(finished.output));
        QVERIFY(world.holds_embedded_image());
    }

    // The reader of the JSON events sees their end as soon as the tool has ended, though the write it
    // started goes on: no dfu-util holds a copy of the tool's standard output.
    void json_reader_sees_the_end_when_the_tool_ends_during_a_write() {
        SimWorld world("old-firmware", false);
        QVERIFY(world.ok());
        Environment environment;
        QTemporaryDir files;
        QString const pid_file = files.filePath("pid");
        // The shell waits for its reader, `cat`, which ends only at the pipe's end.
        QProcess pipeline;
        pipeline.setProcessEnvironment(environment.make());
        pipeline.start("/bin/sh",
                       {"-c", "(echo $$ >\"$1\"; exec \"$2\" -s --headless --json) | cat >/dev/null", "sh",
                        pid_file, updater});
        QVERIFY(pipeline.waitForStarted());
        QVERIFY(wait_until([&] { return write_started(world); }, 30000));
        QFile file(pid_file);
        QVERIFY(file.open(QIODevice::ReadOnly));
        pid_t const tool = static_cast<pid_t>(file.readAll().trimmed().toInt());
        QVERIFY(tool > 1);

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(::kill(tool, SIGKILL), 0);
        QVERIFY(pipeline.waitForFinished(10000));
        qint64 const end_seen_ms = clock.elapsed();

        QVERIFY2(end_seen_ms < 1500, qPrintable(QString::number(end_seen_ms)));
        QVERIFY2(world.log().filter(" LEAVE").isEmpty(), "the write ended before the tool was killed");
        QVERIFY(wait_for_write_end(world));
        QVERIFY(world.holds_embedded_image());
    }
};

QTEST_GUILESS_MAIN(TestLocks)
#include "tst_locks.moc"
