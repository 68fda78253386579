#include "dfu/command.h"

#include "fake_dfu_util.h"
#include "message_capture.h"

#include <QElapsedTimer>
#include <QtTest>
#include <thread>

using namespace DFU;

class TestCommandTimeout : public QObject {
    Q_OBJECT

private slots:
    // Past the time-out a read is ended, keeping what it printed, while a write is waited for. Both run at
    // once, so the case costs one time-out.
    void slow_read_is_ended_and_slow_write_is_waited_for() {
        FakeDfuUtil fake;
        QString const sleep_s = QString::number(first_wait_ms / 1000 + 2);
        QStringList const saved = commands[CmdID::download_FW].args;
        commands[CmdID::download_FW].args = QStringList{"sleep", sleep_s};
        MessageCapture capture;
        QElapsedTimer clock;
        clock.start();

        CommandResult write;
        qint64 write_ms = 0;
        std::thread writer([&] {
            write = run_command(CmdID::download_FW, {});
            write_ms = clock.elapsed();
        });
        CommandResult const read = run_command(CmdID::setup_prepared_config, {"sleep", sleep_s});
        qint64 const read_ms = clock.elapsed();
        writer.join();
        commands[CmdID::download_FW].args = saved;

        QVERIFY(read_ms >= first_wait_ms && read_ms < first_wait_ms + 1500);
        QCOMPARE(read.exit_code, -1);
        QCOMPARE(read.output, QStringLiteral("early\n"));
        QVERIFY(write_ms >= (first_wait_ms / 1000 + 2) * 1000);
        QCOMPARE(write.exit_code, 0);
        QCOMPARE(write.output, QStringLiteral("early\nlate\n"));
        QStringList const info = capture.texts(QtInfoMsg);
        QCOMPARE(info.filter("did not finish in time").size(), 2);
        QCOMPARE(info.filter("ending it").size(), 1);
        QCOMPARE(info.filter("will wait again").size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestCommandTimeout)
#include "tst_command_timeout.moc"
