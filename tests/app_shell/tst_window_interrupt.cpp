// SIGINT while the window's upgrade is writing the device: the run ends in order and the write is finished,
// not cut short by terminating the worker.

#include "app/app.h"
#include "app/connections.h"
#include "app/termination.h"
#include "files/files.h"
#include "gui/main_window.h"

#include "sim_fixture.h"

#include <QApplication>
#include <QtTest>
#include <csignal>

class TestWindowInterrupt : public QObject {
    Q_OBJECT

public:
    explicit TestWindowInterrupt(SimWorld& world) : world(world) {}

private slots:
    void sigint_during_a_download_lets_the_write_finish() {
        QVERIFY(world.ok());
        GUI_init();
        TerminationSignals termination;
        connect(&termination, &TerminationSignals::received, stop_on_termination_signal);
        QTRY_VERIFY_WITH_TIMEOUT(mainWindow->installButton->isEnabled(), 30000);
        QTest::mouseClick(mainWindow->installButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!world.log().filter(" ERASE ").isEmpty(), 30000);

        std::raise(SIGINT);
        QTimer::singleShot(60000, qApp, [] { QCoreApplication::exit(99); });
        int const result = GUI_cleanup(QApplication::exec());

        QCOMPARE(result, 0);
        QCOMPARE(TerminationSignals::received_signal(), SIGINT);
        QVERIFY(!world.log().filter(" LEAVE").isEmpty());
        QFile image(Files::external_dir.path() + "/" + Files::desired_FW_fileName_bin);
        QVERIFY(image.open(QIODevice::ReadOnly));
        QByteArray const written = image.readAll();
        QVERIFY(!written.isEmpty());
        QCOMPARE(world.flash().left(written.size()), written);
    }

private:
    SimWorld& world;
};

int main(int argc, char* argv[]) {
    // Realistic timing, so that the write lasts longer than the quit key's wait for the worker.
    SimWorld world("old-firmware", false);
    int tool_argc = 2;
    char tool_name[] = "updater";
    char simulator_option[] = "-s";
    char* tool_argv[] = {tool_name, simulator_option, nullptr};
    QApplication app(tool_argc, tool_argv);
    TestWindowInterrupt test(world);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window_interrupt.moc"
