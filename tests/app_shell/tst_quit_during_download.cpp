// The quit key while the window's upgrade is writing the device: the worker does not stop within the
// quit key's wait and is terminated, but only once the dfu-util run under way has finished, so the write
// is complete.

#include "app/app.h"
#include "files/files.h"
#include "gui/main_window.h"

#include "sim_fixture.h"

#include <QApplication>
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
    TestQuitDuringDownload test(world);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_quit_during_download.moc"
