#include "dfu/command.h"

#include "fake_dfu_util.h"
#include "message_capture.h"

#include <QElapsedTimer>
#include <QtTest>

class TestCommandTimeout : public QObject {
    Q_OBJECT

private slots:
    void slow_child_is_waited_for_and_keeps_its_early_output() {
        FakeDfuUtil fake;
        const int sleep_s = DFU::first_wait_ms / 1000 + 1;
        MessageCapture capture;
        QElapsedTimer timer;
        timer.start();
        const DFU::CommandResult result =
            DFU::run_command(DFU::CmdID::setup_prepared_config, {"sleep", QString::number(sleep_s)});
        QVERIFY(timer.elapsed() >= sleep_s * 1000);
        QCOMPARE(result.exit_code, 0);
        QCOMPARE(result.output, QStringLiteral("early\nlate\n"));
        const QStringList info = capture.texts(QtInfoMsg);
        QCOMPARE(info.size(), 3);
        QCOMPARE(info[1], QStringLiteral("waitForFinished(): Process did not finish in time, exit status: "
                                         "QProcess::NormalExit and output: \"early\\n\""));
        QCOMPARE(info[2], QStringLiteral("will wait again, forever"));
    }
};

QTEST_GUILESS_MAIN(TestCommandTimeout)
#include "tst_command_timeout.moc"
