#include "app/app.h"
#include "dfu/simulator.h"
#include "gui/log_window.h"

#include "message_capture.h"
#include "test_config.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

namespace {

const QString updater = QStringLiteral(TEST_BUILD_DIR "/updater");

QProcessEnvironment headless_environment() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    return environment;
}

// Reads the program's standard error until a line starts with `last`, then stops the program.
QStringList start_up_lines(QStringList const& arguments, QString const& last) {
    QProcess process;
    process.setProcessEnvironment(headless_environment());
    process.start(updater, arguments);
    QStringList lines;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 30000 && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(200);
        while (process.canReadLine() ||
               (process.setReadChannel(QProcess::StandardError), process.canReadLine()))
            lines << QString::fromUtf8(process.readLine()).chopped(1);
        if (std::any_of(lines.begin(), lines.end(), [&](QString const& l) { return l.startsWith(last); }))
            break;
    }
    process.terminate();
    process.waitForFinished(5000);
    return lines;
}

} // namespace

class TestAppShell : public QObject {
    Q_OBJECT

private slots:
    void options_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("simulator");
        QTest::addColumn<bool>("log_window");
        QTest::addColumn<QString>("debug_line");
        const QString line =
            QStringLiteral("Initial value of 'simulator::use'=false, isSet('-s')=%1, isSet('-S')=%2");
        QTest::newRow("none") << QStringList() << false << false << line.arg("false", "false");
        QTest::newRow("-s") << QStringList{"-s"} << true << false << line.arg("true", "false");
        QTest::newRow("-S") << QStringList{"-S"} << false << false << line.arg("false", "true");
        QTest::newRow("-s -S") << QStringList{"-s", "-S"} << false << false << line.arg("true", "true");
        QTest::newRow("-S -s") << QStringList{"-S", "-s"} << false << false << line.arg("true", "true");
        QTest::newRow("long names") << QStringList{"--use-simulator", "--use-log-window"} << true << true
                                    << line.arg("true", "false");
        QTest::newRow("-l") << QStringList{"-l"} << false << true << line.arg("false", "false");
        QTest::newRow("bundled -sl") << QStringList{"-sl"} << true << true << line.arg("true", "false");
    }
    void options() {
        QFETCH(QStringList, options);
        QFETCH(bool, simulator);
        QFETCH(bool, log_window);
        QFETCH(QString, debug_line);
        simulator::use = false;
        use_log_window = false;
        MessageCapture capture;
        parse_arguments(QStringList{"updater"} + options);
        QCOMPARE(simulator::use, simulator);
        QCOMPARE(use_log_window, log_window);
        QCOMPARE(capture.texts(QtDebugMsg), QStringList{debug_line});
    }

    void unknown_option_ends_the_process() {
        QProcess process;
        process.setProcessEnvironment(headless_environment());
        process.start(updater, {"--bogus"});
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(QString::fromUtf8(process.readAllStandardError()).contains("Unknown option 'bogus'."));
    }

    void option_with_value_is_refused() {
        QProcess process;
        process.setProcessEnvironment(headless_environment());
        process.start(updater, {"--use-simulator=yes"});
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitCode(), 1);
    }

    void start_up_lines_in_order_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("device_line");
        QTest::addColumn<QString>("version_run");
        QTest::newRow("real device") << QStringList{"-s", "-S"}
                                     << "Will use real device (i.e. no option 'use_simulator'.)"
                                     << "(\"-V\")";
        QTest::newRow("simulator") << QStringList{"-s"} << "Will use simulator (i.e. option 'use_simulator)."
                                   << "(\"--dfu-util-command\", \"version\", \"-V\")";
    }
    void start_up_lines_in_order() {
        QFETCH(QStringList, options);
        QFETCH(QString, device_line);
        QFETCH(QString, version_run);
        const QStringList lines = start_up_lines(options, "Desired (embedded)");
        const QStringList expected_order{"Initial value of 'simulator::use'=false",
                                         device_line,
                                         "Compiled for platform (OS):",
                                         "Result of execution test:",
                                         "Found dfu-util",
                                         "Desired (embedded) FW info:"};
        int at = 0;
        for (QString const& expected : expected_order) {
            while (at < lines.size() && !lines[at].startsWith(expected))
                ++at;
            QVERIFY2(at < lines.size(), qPrintable(expected + " missing in:\n" + lines.join('\n')));
        }
        QVERIFY(lines.filter("Compiled for platform (OS):").first().endsWith("with 'DEBUG' not defined"));
        // The self-test's one run of "dfu-util -V" also tells the release.
        QCOMPARE(lines.filter(QRegularExpression("^Start .*" + QRegularExpression::escape(version_run) + "$"))
                     .size(),
                 1);
    }

    void handler_routes_to_the_live_log_window_only() {
        QStringList routed;
        logWindow = new LogWindow();
        connect(logWindow.data(), &LogWindow::sendMessage, this,
                [&](QtMsgType, QMessageLogContext const&, QString const& text) { routed << text; });
        const QtMessageHandler previous = qInstallMessageHandler(logWindowMessageHandler);
        qInfo() << "first";
        delete logWindow.data();
        qInfo() << "dropped";
        qInstallMessageHandler(previous);
        QVERIFY(logWindow.isNull());
        QCOMPARE(routed, QStringList{"first"});
    }

    void cleanup_waits_out_of_sight_and_returns_the_loop_result() {
        MessageCapture capture;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(GUI_cleanup(7), 7);
        QVERIFY(timer.elapsed() >= 2000);
        QCOMPARE(capture.texts(QtInfoMsg),
                 (QStringList{"app.exec() returns:  7", "Waiting 2 s before deleting objects"}));
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_app_shell.moc"
