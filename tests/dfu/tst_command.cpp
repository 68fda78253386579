#include "dfu/command.h"

#include "fake_dfu_util.h"
#include "message_capture.h"

#include <QElapsedTimer>
#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

using namespace DFU;

Q_DECLARE_METATYPE(DFU::CmdID)
Q_DECLARE_METATYPE(DFU::Failure)

namespace {

QString quoted(QString const& text) {
    return '"' + text + '"';
}

QString start_line(QString const& program, QStringList const& args) {
    QStringList items;
    for (QString const& a : args)
        items << quoted(a);
    return QStringLiteral("Start  %1 (%2)").arg(quoted(program), items.join(", "));
}

} // namespace

class TestCommand : public QObject {
    Q_OBJECT

private slots:
    void table_data() {
        QTest::addColumn<CmdID>("id");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("version") << CmdID::version << 0 << "dfu-util(-V)";
        QTest::newRow("list") << CmdID::list << 1 << "dfu-util(-d,0483,-l)";
        QTest::newRow("upload_OTP") << CmdID::upload_OTP << 2
                                    << "dfu-util(-d,0483,-a,2,-s,0x1FFF7800:512,-U)";
        QTest::newRow("upload_FW_Info")
            << CmdID::upload_FW_Info << 3 << "dfu-util(-d,0483,-a,0,-s,0x08000000:2048,-U)";
        QTest::newRow("upload_FW") << CmdID::upload_FW << 4 << "dfu-util(-d,0483,-a,0)";
        QTest::newRow("download_FW") << CmdID::download_FW << 5
                                     << "dfu-util(-d,0483,-a,0,-s,0x08000000:leave,-D)";
        QTest::newRow("setup_prepared_config") << CmdID::setup_prepared_config << 6 << "dfu-util()";
    }
    void table() {
        QFETCH(CmdID, id);
        QFETCH(int, value);
        QFETCH(QString, text);
        QCOMPARE(int(id), value);
        QCOMPARE(QString(commands.value(id)), text);
    }

    void table_holds_seven_entries_in_order() {
        QCOMPARE(commands.size(), 7);
        int expected = 0;
        for (auto it = commands.cbegin(); it != commands.cend(); ++it)
            QCOMPARE(int(it.key()), expected++);
        QCOMPARE(QString(Command()), QStringLiteral("()"));
    }

    void fixed_arguments_then_extra_ones_data() {
        QTest::addColumn<CmdID>("id");
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QString>("command_line");
        QTest::newRow("version") << CmdID::version << QStringList() << "-V";
        QTest::newRow("upload_OTP") << CmdID::upload_OTP << QStringList{"/tmp/otp file.bin"}
                                    << "-d 0483 -a 2 -s 0x1FFF7800:512 -U /tmp/otp file.bin";
        QTest::newRow("upload_FW") << CmdID::upload_FW
                                   << QStringList{"-s", "0x08000000:1024", "-U", "/tmp/up.bin"}
                                   << "-d 0483 -a 0 -s 0x08000000:1024 -U /tmp/up.bin";
        QTest::newRow("download_FW") << CmdID::download_FW << QStringList{"/tmp/fw.bin"}
                                     << "-d 0483 -a 0 -s 0x08000000:leave -D /tmp/fw.bin";
        QTest::newRow("setup_prepared_config")
            << CmdID::setup_prepared_config << QStringList{"name"} << "name";
    }
    void fixed_arguments_then_extra_ones() {
        QFETCH(CmdID, id);
        QFETCH(QStringList, extra);
        QFETCH(QString, command_line);
        FakeDfuUtil fake;
        MessageCapture capture;
        const CommandResult result = run_command(id, extra);
        QCOMPARE(result.exit_code, 0);
        QCOMPARE(result.output.split('\n', Qt::SkipEmptyParts).join(' '), command_line);
        const QStringList args = commands.value(id).args + extra;
        QCOMPARE(capture.texts(QtInfoMsg), QStringList{start_line(fake.program, args)});
    }

    void listing_writes_no_start_line() {
        FakeDfuUtil fake;
        MessageCapture capture;
        const CommandResult result = run_command(CmdID::list, {});
        QCOMPARE(result.output, QStringLiteral("-d\n0483\n-l\n"));
        QVERIFY2(capture.messages().isEmpty(), "the listing runs every second and must not fill the log");
    }

    void exit_codes_data() {
        QTest::addColumn<int>("code");
        QTest::newRow("0") << 0;
        QTest::newRow("1") << 1;
        QTest::newRow("74") << 74;
        QTest::newRow("255") << 255;
    }
    void exit_codes() {
        QFETCH(int, code);
        FakeDfuUtil fake;
        const QStringList args{"exit", QString::number(code)};
        MessageCapture capture;
        const CommandResult result = run_command(CmdID::setup_prepared_config, args);
        QCOMPARE(result.exit_code, code);
        QCOMPARE(result.output, QStringLiteral("out\n")); // standard error is never part of it
        QCOMPARE(result.errors, QStringLiteral("err\n"));
        QStringList expected{start_line(fake.program, args)};
        if (code != 0)
            expected << QStringLiteral("Exit with %1 from %2 (\"exit\", \"%1\") returned: \"out\\n\"")
                            .arg(code)
                            .arg(quoted(fake.program))
                     << QStringLiteral("dfu-util's standard error: err");
        QCOMPARE(capture.texts(QtInfoMsg), expected);
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
        QTest::newRow("claim refused, 0.9") << ""
                                            << "dfu-util: Cannot claim interface\n"
                                            << 74 << Failure::unit_busy;
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

    void crash_gives_minus_one() {
        FakeDfuUtil fake;
        MessageCapture capture;
        const CommandResult result = run_command(CmdID::setup_prepared_config, {"crash"});
        QCOMPARE(result.exit_code, -1);
        QCOMPARE(result.output, QStringLiteral("before crash\n"));
        QCOMPARE(result.failure, Failure::crashed);
        const QStringList info = capture.texts(QtInfoMsg);
        QCOMPARE(info.size(), 2);
        QCOMPARE(info[1], QStringLiteral("Exit with -1 from %1 (\"crash\") returned: \"before crash\\n\"")
                              .arg(quoted(fake.program)));
    }

    void program_that_cannot_start_is_a_failure() {
        DFU::Command::path = QStringLiteral("/nonexistent/directory");
        MessageCapture capture;
        QElapsedTimer timer;
        timer.start();
        const CommandResult result = run_command(CmdID::version, {});
        DFU::Command::path.clear();
        QVERIFY(timer.elapsed() < first_wait_ms);
        QCOMPARE(result.exit_code, -1);
        QCOMPARE(result.failure, Failure::not_started);
        QCOMPARE(result.output, QString());
        QCOMPARE(capture.texts(QtInfoMsg),
                 (QStringList{start_line("/nonexistent/directory/dfu-util", {"-V"}),
                              "Exit with -1 from \"/nonexistent/directory/dfu-util\" (\"-V\") returned: \"\"",
                              "dfu-util's standard error: Cannot start /nonexistent/directory/dfu-util"}));
    }

    void output_ends_at_first_NUL() {
        FakeDfuUtil fake;
        const CommandResult result = run_command(CmdID::setup_prepared_config, {"nul"});
        QCOMPARE(result.exit_code, 0);
        QCOMPARE(result.output, QStringLiteral("head"));
    }

    // A runaway child cannot fill the memory: what is kept of its output is bounded, and the cut is logged.
    void output_is_bounded() {
        FakeDfuUtil fake;
        MessageCapture capture;
        const CommandResult result = run_command(CmdID::setup_prepared_config, {"flood", "3000000"});
        QCOMPARE(result.exit_code, 0);
        QCOMPARE(result.output.size(), 1 << 20);
        QVERIFY(capture.texts(QtInfoMsg).filter("cut to its first").size() == 1);
    }

    // A dfu-util child holds its standard streams and what it is handed (as 3, 4, ...), never a descriptor
    // this process holds: not even one without close-on-exec, as a parent may have left it.
    void child_holds_only_what_it_is_handed_data() {
        QTest::addColumn<int>("handed");
        QTest::newRow("nothing") << 0;
        QTest::newRow("two names") << 2;
    }
    void child_holds_only_what_it_is_handed() {
        QFETCH(int, handed);
        FakeDfuUtil fake;
        int const stray = ::open("/dev/null", O_RDONLY);
        RunWatch watch;
        for (int i = 0; i < handed; ++i)
            watch.inherited.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        const CommandResult result = run_command(CmdID::setup_prepared_config, {"descriptors"}, watch);
        ::close(stray);
        for (int fd : watch.inherited)
            ::close(fd);

        QCOMPARE(result.exit_code, 0);
        QStringList held;
        for (QString const& fd : result.output.split('\n', Qt::SkipEmptyParts))
            if (fd.toInt() < 10) // the shell's own descriptors are 10 and above
                held << fd;
        held.sort();
        QStringList expected{"0", "1", "2"};
        for (int i = 0; i < handed; ++i)
            expected << QString::number(3 + i);
        QCOMPARE(held, expected);
    }

    void bare_program_is_found_on_the_search_path() {
        QVERIFY(DFU::Command::path.isEmpty());
        MessageCapture capture;
        const CommandResult result = run_command(CmdID::version, {});
        QCOMPARE(result.exit_code, 0);
        QVERIFY2(result.output.startsWith(QStringLiteral("dfu-util 0.")), qPrintable(result.output));
        QCOMPARE(capture.texts(QtInfoMsg), QStringList{start_line("dfu-util", {"-V"})});
    }
};

QTEST_GUILESS_MAIN(TestCommand)
#include "tst_command.moc"
