// SIGINT while the window's upgrade is writing the device: the run ends in order and the write is finished,
// not cut short by terminating the worker.

#include "app/window_start.h"
#include "app/connections.h"
#include "app/termination.h"
#include "gui/main_window.h"

#include "window_run.h"

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
        verify_download_finished(world);
    }

private:
    SimWorld& world;
};

int main(int argc, char* argv[]) {
    return run_window_test<TestWindowInterrupt>(argc, argv);
}

#include "tst_window_interrupt.moc"
