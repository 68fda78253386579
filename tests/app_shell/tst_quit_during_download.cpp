// The quit key while the window's upgrade is writing the device: the worker does not stop within the
// quit key's wait and is terminated, but only once the dfu-util run under way has finished, so the write
// is complete.

#include "app/window_start.h"
#include "gui/main_window.h"

#include "window_run.h"

#include <QtTest>

class TestQuitDuringDownload : public QObject {
    Q_OBJECT

public:
    explicit TestQuitDuringDownload(SimWorld& world) : world(world) {}

private slots:
    void quit_key_during_a_download_lets_the_write_finish() {
        QVERIFY(world.ok());
        GUI_init();
        QTRY_VERIFY_WITH_TIMEOUT(mainWindow->installButton->isEnabled(), 30000);
        QTest::mouseClick(mainWindow->installButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!world.log().filter(" ERASE ").isEmpty(), 30000);

        QTest::keyClick(mainWindow, Qt::Key_Q);
        QTimer::singleShot(60000, qApp, [] { QCoreApplication::exit(99); });
        int const result = GUI_cleanup(QApplication::exec());

        QCOMPARE(result, 0);
        verify_download_finished(world);
    }

private:
    SimWorld& world;
};

int main(int argc, char* argv[]) {
    return run_window_test<TestQuitDuringDownload>(argc, argv);
}

#include "tst_quit_during_download.moc"
