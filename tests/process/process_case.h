#pragma once

// One process case: the real tool, started as a process in a private emulated world, drives the real
// dfu-util (the system's, or DFU_SIM_DFU_UTIL's) against the emulated bootloader. A row gives
//
//   name    what the row shows
//   world   steps before the tool starts, ';' between them: a simctl command ("load two-devices",
//           "set dev0 short_upload 200000", "unplug dev1"), "image DEV" (the embedded firmware into DEV's
//           flash), "env NAME=VALUE" (the tool's environment; an empty VALUE removes NAME; "@world" in it
//           is the world's directory, "@display" that of "x-refusing"), "reserve SERIAL" (this test, which
//           is not the tool, holds the unit's name during the run), "x-refusing" (an X server of this test
//           that refuses every client) or "dir PATH MODE" (a directory below the world's, "@uid" in PATH
//           this user's ID: after the run it must hold what it held before). Timing is
//           fast, except for rows with an event: realistic, with a quick flash (a write takes about 1.5 s);
//           a step "fast on" or "fast off" chooses instead.
//   args    the tool's command line; one that starts with "scripts/" runs that script of the repository;
//           "{pid}" stands for this test's process id (a serial no other run holds)
//   event   "" or "ACTION at MOMENT". MOMENT: write (the first erase), leave (the write ended), readback
//           (the first read after the write), or words the tool prints. ACTION: kill, int, term, hup (that
//           signal to the tool), unplug (dev0 leaves the bus), swap (dev0 leaves, dev1 comes), crash (the
//           world's dfu-util dies of SIGSEGV), stall (dev0 no longer answers reads of its record), hold
//           (another program holds dev0: every claim is refused as busy), block (nothing more can be
//           written into the tool's private directory, when TMPDIR is the world's), second
//           (another run with the same command line and world; then exit and words are the second run's,
//           and the first must end with 0), beside (the same, with a serial no unit has and --timeout 3),
//           orphan (kill -9, then a second run: its exit and words), rerun
//           (kill -9, then once the write it left has ended, a second run: its exit and words).
//   exit    the exit code; -1 when the tool dies of the signal, -2 when it still waits once the words
//           were printed (it is then ended with SIGTERM)
//   words   key words that must appear in standard output or error, case-insensitive; "!words" must not;
//           "history:words" in the row's history afterwards (--history, then --history --json), "history=N"
//           that it holds N records; "{sha256}" in words is the embedded image's hash. Each row keeps its own
//           history (XDG_STATE_HOME in its world).
//   flash   dev0's flash once every dfu-util of the world has ended: image (the embedded firmware),
//           unchanged (as before the run, and nothing erased), changed (written, but not the image)
//
//     {"short read-back", "load current-firmware; set dev0 short_upload 200000", headless, "", 6,
//      {"not verified", "!differs"}, Flash::unchanged},

#include "sim_fixture.h"
#include "test_config.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QMetaType>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

enum class Flash { image, unchanged, changed };

struct Case {
    QString name;
    QString world;
    QStringList args;
    QString event;
    int exit;
    QStringList words;
    Flash flash;
};
Q_DECLARE_METATYPE(Case)

QStringList const headless{"-s", "--headless"};

namespace process_case {

inline QString const updater = QStringLiteral(TEST_BUILD_DIR "/updater");

// A run of the tool whose output is read as it comes, so it never blocks on a full pipe.
class Run {
public:
    Run(QStringList const& args, QProcessEnvironment const& environment) {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setProcessEnvironment(environment);
        if (!args.isEmpty() && args.first().startsWith("scripts/"))
            process.start(QStringLiteral(TEST_SOURCE_DIR "/") + args.first(), args.mid(1));
        else
            process.start(updater, args);
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

    QString const& output() {
        printed += QString::fromUtf8(process.readAll());
        return printed;
    }
    bool running() const { return process.state() == QProcess::Running; }
    void poll() { process.waitForReadyRead(20); }
    void signal(int number) {
        if (process.processId() > 0) // never 0: that would be the test's own process group
            ::kill(static_cast<pid_t>(process.processId()), number);
    }
    // The exit code, -1 after a signal, -3 when still running after ms.
    int finish(int ms) {
        bool const ended = process.waitForFinished(ms);
        output();
        if (!ended)
            return -3;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

private:
    QProcess process;
    QString printed;
};

inline bool wait_until(std::function<bool()> const& done, int ms, Run* run = nullptr) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        if (run && run->running())
            run->poll();
        else
            QTest::qWait(20);
    }
    return done();
}

// The dfu-utils started in this world that still run: their environment names the world.
inline QList<pid_t> dfu_utils_in(QString const& world_dir) {
    QByteArray const mark = "DFU_SIM_DIR=" + QFile::encodeName(world_dir);
    QList<pid_t> pids;
    for (QString const& pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm("/proc/" + pid + "/comm");
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "dfu-util")
            continue;
        QFile environ("/proc/" + pid + "/environ");
        if (environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(mark))
            pids << pid.toInt();
    }
    return pids;
}

inline bool dfu_util_runs_in(QString const& world_dir) {
    return !dfu_utils_in(world_dir).isEmpty();
}

inline bool moment_reached(QString const& moment, SimWorld const& world, Run& run) {
    QStringList const log = world.log();
    int const leave = log.indexOf(QRegularExpression(".* LEAVE.*"));
    if (moment == "write")
        return !log.filter(" ERASE ").isEmpty();
    if (moment == "leave")
        return leave >= 0;
    if (moment == "readback")
        return leave >= 0 && log.indexOf(QRegularExpression(".* UPLOAD .*"), leave) >= 0;
    return run.output().contains(moment, Qt::CaseInsensitive);
}

// The X server of "x-refusing" and its display, for the run of one row.
inline std::unique_ptr<QProcess> x_server;
inline QString x_display;

// Xvfb that wants a cookie no client has (its authority file holds one entry: any address, any display,
// MIT-MAGIC-COOKIE-1 with 16 random bytes), on a display number it picks free itself.
inline bool start_refusing_x_server(SimWorld const& world) {
    auto const counted = [](QByteArray const& bytes) {
        return QByteArray(1, char(bytes.size() >> 8)) + char(bytes.size() & 0xff) + bytes;
    };
    QByteArray cookie(16, '\0');
    for (char& byte : cookie)
        byte = char(QRandomGenerator::global()->bounded(256));
    QFile authority(world.dir() + "/x-authority");
    if (!authority.open(QIODevice::WriteOnly) ||
        authority.write(QByteArray("\xff\xff") + counted("") + counted("") + counted("MIT-MAGIC-COOKIE-1") +
                        counted(cookie)) < 0)
        return false;
    authority.close();
    x_server = std::make_unique<QProcess>();
    x_server->start("Xvfb", {"-displayfd", "1", "-auth", authority.fileName(), "-nolisten", "tcp"});
    while (!x_server->canReadLine() && x_server->waitForReadyRead(10000)) {
    }
    x_display = ":" + QString::fromLatin1(x_server->readLine().trimmed());
    return x_display != ":";
}

inline void stop_x_server() {
    if (x_server) {
        x_server->terminate();
        x_server->waitForFinished(5000);
    }
    x_server.reset();
    x_display.clear();
}

inline QProcessEnvironment environment_of(QString const& world_steps, SimWorld const& world) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DFU_SIM_DIR", world.dir());
    environment.insert("XDG_STATE_HOME", world.dir() + "/state");
    for (QString step : world_steps.split(';', Qt::SkipEmptyParts)) {
        step = step.trimmed();
        if (!step.startsWith("env "))
            continue;
        QString const assignment = step.mid(4);
        QString const name = assignment.section('=', 0, 0);
        QString const value = assignment.section('=', 1).replace("@world", world.dir()).replace("@display", x_display);
        if (value.isEmpty())
            environment.remove(name);
        else
            environment.insert(name, value);
    }
    return environment;
}

// Binds the name by which runs in the world reserve the unit, as any program of any user may: a socket
// that stays open until the descriptor is closed.
inline int reserve_unit(SimWorld const& world, QString const& serial) {
    QByteArray const prefix = "zentova-updater:";
    QByteArray name = prefix +
                      "unit:simulator:" + QFile::encodeName(QFileInfo(world.dir()).canonicalFilePath()) +
                      "/" + serial.toUtf8();
    if (name.size() > int(sizeof(sockaddr_un::sun_path)) - 1)
        name = prefix + QCryptographicHash::hash(name, QCryptographicHash::Sha256).toHex();
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto const length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline std::vector<int> reserved_names;
// The directories of "dir" steps, with what each holds before the run.
inline QMap<QString, QStringList> given_dirs;

inline QStringList entries_of(QString const& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

inline bool make_dir(SimWorld const& world, QString path, QString const& mode) {
    path = world.dir() + "/" + path.replace("@uid", QString::number(::getuid()));
    given_dirs[path];
    return QDir().mkpath(path) && ::chmod(QFile::encodeName(path).constData(), mode.toUInt(nullptr, 8)) == 0;
}

inline bool prepare(QString const& world_steps, SimWorld const& world) {
    for (QString step : world_steps.split(';', Qt::SkipEmptyParts)) {
        QStringList const words = step.trimmed().split(' ', Qt::SkipEmptyParts);
        if (words.first() == "env" || words.first() == "fast")
            continue;
        if (words.first() == "reserve" && words.size() == 2) {
            reserved_names.push_back(reserve_unit(world, words[1]));
            if (reserved_names.back() < 0)
                return false;
        } else if (words.first() == "x-refusing") {
            if (!start_refusing_x_server(world))
                return false;
        } else if (words.first() == "dir" && words.size() == 3) {
            if (!make_dir(world, words[1], words[2]))
                return false;
        } else if (words.first() == "image" && words.size() == 2)
            world.write_flash(SimWorld::embedded_image(), words[1]);
        else if (world.simctl(words).exit_code != 0)
            return false;
    }
    for (auto given = given_dirs.begin(); given != given_dirs.end(); ++given)
        given.value() = entries_of(given.key());
    return true;
}

inline void act(QString const& action, SimWorld const& world, Run& run) {
    static QMap<QString, int> const numbers{
        {"kill", SIGKILL}, {"int", SIGINT}, {"term", SIGTERM}, {"hup", SIGHUP}};
    if (numbers.contains(action))
        run.signal(numbers[action]);
    else if (action == "unplug")
        QVERIFY(world.unplug("dev0"));
    else if (action == "swap")
        QVERIFY(world.unplug("dev0") && world.plug("dev1"));
    else if (action == "block")
        for (QString const& dir : QDir(world.dir()).entryList({"upgrade_*"}, QDir::Dirs))
            QVERIFY(QDir(world.dir() + "/" + dir).mkdir(".room_probe"));
    else if (action == "hold")
        QVERIFY(world.simctl({"set", "dev0", "claim_busy", "1"}).exit_code == 0);
    else if (action == "stall")
        QVERIFY(world.simctl({"set", "dev0", "upload_stall_alt", "2"}).exit_code == 0);
    else if (action == "crash")
        for (pid_t const pid : dfu_utils_in(world.dir()))
            ::kill(pid, SIGSEGV);
    else
        QFAIL(qPrintable("unknown action " + action));
}

inline QString embedded_sha256() {
    return QCryptographicHash::hash(SimWorld::embedded_image(), QCryptographicHash::Sha256).toHex();
}

inline void check_words(QString const& output, QStringList const& words) {
    for (QString const& word : words) {
        if (word.startsWith("history"))
            continue;
        bool const absent = word.startsWith('!');
        QString const text = QString(absent ? word.mid(1) : word).replace("{sha256}", embedded_sha256());
        QVERIFY2(output.contains(text, Qt::CaseInsensitive) != absent,
                 qPrintable(QString(absent ? "told: %1\n%2" : "not told: %1\n%2").arg(text, output)));
    }
}

inline void check_flash(Flash flash, QByteArray const& before, SimWorld const& world) {
    QByteArray const image = SimWorld::embedded_image();
    bool const holds_image = world.flash().left(image.size()) == image;
    switch (flash) {
    case Flash::image:
        QVERIFY2(holds_image, "the flash does not hold the embedded firmware");
        break;
    case Flash::unchanged:
        QVERIFY2(world.flash() == before, "the flash changed");
        QVERIFY2(world.log().filter(" dev0 ERASE ").isEmpty(), "the unit was erased");
        break;
    case Flash::changed:
        QVERIFY2(world.flash() != before && !holds_image, "the flash is not a failed write");
        break;
    }
}

// The row's history after the run, as text and as JSON Lines.
inline void check_history(QStringList const& words, QProcessEnvironment const& environment) {
    QStringList const asked = words.filter(QRegularExpression("^history[:=]"));
    if (asked.isEmpty())
        return;
    Run text({"--history"}, environment);
    Run json({"--history", "--json"}, environment);
    QVERIFY(text.finish(10000) == 0 && json.finish(10000) == 0);
    QString const history = text.output() + json.output();
    for (QString const& word : asked) {
        if (word.startsWith("history="))
            QVERIFY2(json.output().count('\n') == word.mid(8).toInt(), qPrintable(history));
        else
            check_words(history, {word.mid(8)});
    }
}

// How a run ended: its exit code (or why the row could not be played out) and what it printed.
struct Outcome {
    int exit_code;
    QString output;
};

inline Outcome still_waiting(Case const& row, SimWorld const& world, Run& run) {
    wait_until([&] { return moment_reached(row.words.first(), world, run) || !run.running(); }, 30000, &run);
    Outcome const outcome{run.running() ? -2 : run.finish(0), run.output()};
    run.signal(SIGTERM);
    run.finish(10000);
    return outcome;
}

inline Outcome after_event(Case const& row, SimWorld const& world, Run& run,
                           QProcessEnvironment const& environment) {
    QString const action = row.event.section(" at ", 0, 0);
    QString const moment = row.event.section(" at ", 1);
    wait_until([&] { return moment_reached(moment, world, run) || !run.running(); }, 60000, &run);
    if (!moment_reached(moment, world, run))
        return {-4, "the moment never came: " + moment + "\n" + run.output()};
    if (action == "rerun") {
        act("kill", world, run);
        run.finish(10000);
        if (!wait_until([&] { return !dfu_util_runs_in(world.dir()); }, 60000))
            return {-6, "the write left running never ended\n" + run.output()};
        Run second(row.args, environment);
        return {second.finish(90000), second.output()};
    }
    if (action != "second" && action != "beside" && action != "orphan") {
        act(action, world, run);
        Outcome const outcome{run.finish(90000), run.output()};
        // Only a write outlives the tool; a read or a listing ends with it.
        if (action == "kill" && moment != "write" &&
            !wait_until([&] { return !dfu_util_runs_in(world.dir()); }, 2000))
            return {-6, "a dfu-util of the killed run still reads\n" + outcome.output};
        return outcome;
    }
    if (action == "orphan")
        act("kill", world, run);
    QStringList args = row.args;
    if (action == "beside")
        args << "--serial" << QString::number(QCoreApplication::applicationPid()) << "--timeout" << "3";
    Run second(args, environment);
    Outcome const outcome{second.finish(30000), second.output()};
    int const first = run.finish(90000);
    if (first != (action == "orphan" ? -1 : 0))
        return {-5, QString("the first run ended with %1\n%2").arg(first).arg(run.output())};
    return outcome;
}

// Runs one row; the tool's time limits bound every wait.
inline void run_case(Case const& row) {
    SimWorld world("no-device");
    QVERIFY(world.ok());
    QVERIFY2(prepare(row.world, world), qPrintable(row.world));
    bool const fast =
        row.world.contains("fast on") || (row.event.isEmpty() && !row.world.contains("fast off"));
    QVERIFY(world.set_fast(fast));
    if (!fast)
        QVERIFY(world.set_quick_flash());
    QByteArray const before = world.flash();
    QProcessEnvironment const environment = environment_of(row.world, world);
    Case played = row;
    played.args.replaceInStrings("{pid}", QString::number(QCoreApplication::applicationPid()));
    Run run(played.args, environment);

    Outcome const outcome = !row.event.isEmpty() ? after_event(played, world, run, environment)
                            : row.exit == -2     ? still_waiting(row, world, run)
                                                 : Outcome{run.finish(90000), run.output()};
    QVERIFY2(outcome.exit_code == row.exit,
             qPrintable(QString("exit %1\n%2").arg(outcome.exit_code).arg(outcome.output)));
    check_words(outcome.output, row.words);
    stop_x_server();
    for (int const fd : reserved_names)
        ::close(fd);
    reserved_names.clear();
    QMap<QString, QStringList> const given = given_dirs;
    given_dirs.clear();
    for (auto dir = given.begin(); dir != given.end(); ++dir)
        QVERIFY2(entries_of(dir.key()) == dir.value(), qPrintable("left in " + dir.key()));
    // A write the tool left running goes on to its end; only then is the flash what it will stay.
    QVERIFY(wait_until([&] { return !dfu_util_runs_in(world.dir()); }, 60000));
    check_flash(row.flash, before, world);
    check_history(row.words, environment);
}

} // namespace process_case
