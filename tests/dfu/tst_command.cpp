// The dfu-util runner against a stand-in script, for what the real dfu-util cannot do: crash, print
// garbage or a flood, or not start at all. Every failure comes back as one and is logged.

#include "dfu/command.h"

#include "fake_dfu_util.h"
#include "message_capture.h"

#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

using namespace DFU;

Q_DECLARE_METATYPE(DFU::Failure)

class TestCommand : public QObject {
    Q_OBJECT

private slots:
    void outcome_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("logged"); // key words of the log, "" when a success logs only its start
        QTest::newRow("success") << QStringList{"exit", "0"} << 0 << "out\n"
                                 << "";
        QTest::newRow("failure, standard error apart") << QStringList{"exit", "74"} << 74 << "out\n"
                                                       << "err";
        QTest::newRow("crash") << QStringList{"crash"} << -1 << "before crash\n"
                               << "Exit with -1";
        QTest::newRow("NUL in the output") << QStringList{"nul"} << 0 << "head"
                                           << "";
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

    // Why a run failed, from what dfu-util 0.9 and later releases print.
    void failure_is_read_from_dfu_util_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("errors");
        QTest::addColumn<int>("code");
        QTest::addColumn<Failure>("failure");
        QString const complete = "Download\t[=========================] 100%       403300 bytes\n"
                                 "Download done.\nFile downloaded successfully\n";
        QString const get_status = "dfu-util: Error during download get_status\n";
        QTest::newRow("success") << complete << "" << 0 << Failure::none;
        // dfu-util 0.9 names no reason: not taken as busy, nor as anything else.
        QTest::newRow("claim refused, 0.9") << ""
                                            << "dfu-util: Cannot claim interface\n"
                                            << 74 << Failure::claim_refused;
        QTest::newRow("claim refused as busy") << ""
                                               << "dfu-util: Cannot claim interface - LIBUSB_ERROR_BUSY\n"
                                               << 74 << Failure::unit_busy;
        QTest::newRow("claim refused otherwise")
            << ""
            << "dfu-util: Cannot claim interface - LIBUSB_ERROR_NO_DEVICE\n"
            << 74 << Failure::other;
        QTest::newRow("leave unanswered, 0.9") << complete << get_status << 74 << Failure::leave_failed;
        QTest::newRow("leave unanswered") << complete + "Submitting leave request...\n"
                                          << get_status << 74 << Failure::leave_failed;
        QTest::newRow("write cut") << "Download\t[==========               ]  40%       161320 bytes\n"
                                   << "dfu-util: Error during download\n"
                                   << 74 << Failure::other;
        QTest::newRow("no unit") << ""
                                 << "dfu-util: No DFU capable USB device available\n"
                                 << 74 << Failure::unit_not_found;
        QTest::newRow("several units")
            << ""
            << "dfu-util: More than one DFU capable USB device found! Try `--list'\n"
            << 74 << Failure::several_units;
    }
    void failure_is_read_from_dfu_util() {
        QFETCH(QString, output);
        QFETCH(QString, errors);
        QFETCH(int, code);
        QFETCH(Failure, failure);
        FakeDfuUtil fake;
        CommandResult const result =
            run_command(CmdID::setup_prepared_config, {"says", output, errors, QString::number(code)});
        QCOMPARE(result.exit_code, code);
        QCOMPARE(result.failure, failure);
    }

    void program_that_cannot_start_is_a_failure() {
        DFU::Command::path = QStringLiteral("/nonexistent/directory");
        MessageCapture capture;
        CommandResult const result = run_command(CmdID::version, {});
        DFU::Command::path.clear();
        QCOMPARE(result.exit_code, -1);
        QCOMPARE(result.failure, Failure::not_started);
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
