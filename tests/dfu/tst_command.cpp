// The dfu-util runner against a stand-in script, for what the real dfu-util cannot do: crash, print
// garbage or a flood, or not start at all. Every failure comes back as one and is logged.

#include "dfu/command.h"

#include "fake_dfu_util.h"
#include "message_capture.h"

#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

using namespace DFU;

class TestCommand : public QObject {
    Q_OBJECT

private slots:
    void outcome_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("logged"); // key words of the log, "" when a success logs only its start
        QTest::newRow("success") << QStringList{"exit", "0"} << 0 << "out\n" << "";
        QTest::newRow("failure, standard error apart") << QStringList{"exit", "74"} << 74 << "out\n" << "err";
        QTest::newRow("crash") << QStringList{"crash"} << -1 << "before crash\n" << "Exit with -1";
        QTest::newRow("NUL in the output") << QStringList{"nul"} << 0 << "head" << "";
    }
    void outcome() {
        QFETCH(QStringList, args);
        QFETCH(int, exit_code);
        QFETCH(QString, output);
        QFETCH(QString, logged);
        FakeDfuUtil fake;
        MessageCapture capture;
        CommandResult const result = run_command(CmdID::setup_prepared_config, args);
        QCOMPARE(result.exit_code, exit_code);
        QCOMPARE(result.output, output);
        QStringList const log = capture.texts(QtInfoMsg);
        QVERIFY2(log.first().startsWith("Start "), qPrintable(log.join('\n')));
        QCOMPARE(log.size() > 1, !logged.isEmpty());
        QVERIFY2(log.join('\n').contains(logged), qPrintable(log.join('\n')));
    }

    void program_that_cannot_start_is_a_failure() {
        DFU::Command::path = QStringLiteral("/nonexistent/directory");
        MessageCapture capture;
        CommandResult const result = run_command(CmdID::version, {});
        DFU::Command::path.clear();
        QCOMPARE(result.exit_code, -1);
        QVERIFY(capture.texts(QtInfoMsg).join('\n').contains("Cannot start /nonexistent/directory/dfu-util"));
    }

    // A runaway child cannot fill the memory: what is kept of its output is bounded, and the cut is logged.
    void output_is_bounded() {
        FakeDfuUtil fake;
        MessageCapture capture;
        CommandResult const result = run_command(CmdID::setup_prepared_config, {"flood", "3000000"});
        QCOMPARE(result.exit_code, 0);
        QCOMPARE(result.output.size(), 1 << 20);
        QCOMPARE(capture.texts(QtInfoMsg).filter("cut to its first").size(), 1);
    }

    // A dfu-util child holds its standard streams and what it is handed (as 3, 4, ...), never a descriptor
    // this process holds: not even one without close-on-exec, as a parent may have left it. A write's child
    // is handed the unit's lock, which must not leak into any other child.
    void child_holds_only_what_it_is_handed() {
        FakeDfuUtil fake;
        int const stray = ::open("/dev/null", O_RDONLY);
        RunWatch watch;
        for (int i = 0; i < 2; ++i)
            watch.inherited.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        CommandResult const result = run_command(CmdID::setup_prepared_config, {"descriptors"}, watch);
        ::close(stray);
        for (int fd : watch.inherited)
            ::close(fd);

        QCOMPARE(result.exit_code, 0);
        QStringList held;
        for (QString const& fd : result.output.split('\n', Qt::SkipEmptyParts))
            if (fd.toInt() < 10) // the shell's own descriptors are 10 and above
                held << fd;
        held.sort();
        QCOMPARE(held, (QStringList{"0", "1", "2", "3", "4"}));
    }
};

QTEST_GUILESS_MAIN(TestCommand)
#include "tst_command.moc"
