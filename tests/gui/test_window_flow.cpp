// The whole tool with its window, in simulator mode, against the emulated device: status line, install
// button and progress bar through an upgrade, Ctrl+L, and the quit key's orderly stop.
#include "app/app.h"
#include "app/connections.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "files/files.h"
#include "gui/log_window.h"
#include "gui/main_window.h"

#include "sim_fixture.h"
#include "stderr_capture.h"

#include <QApplication>
#include <QScreen>
#include <QtTest>

namespace {

// What the window showed when one of the flow machine's signals had been handled.
struct Snapshot {
    QString signal;
    QString status;
    bool button_enabled;
    bool bar_visible;
    QString caption;
    int value;
};

QString status_text() {
    return mainWindow->statusLabel->text();
}

QString device_revision_text(QString const& revision) {
    return settings.gui.text("status_devRev")
        .arg(sm_B->connected_device_info.OTP_info.product_name())
        .arg(revision);
}

QStringList log_lines() {
    return logWindow->dialog->logView->toPlainText().split('\n');
}

} // namespace

class TestWindowFlow : public QObject {
    Q_OBJECT

public:
    explicit TestWindowFlow(SimWorld& world) : world(world) {}

private slots:
    void initTestCase();
    void start_up_shows_no_device();
    void upgrade_through_the_window();
    void firmware_differing_after_upgrade_offers_it_again();
    void another_product_leaves_the_button_disabled();
    void ctrl_l_shows_the_log_beside_the_window();
    void click_where_no_download_can_follow_starts_nothing();
    void quit_key_stops_the_engine_and_leaves_the_event_loop();

private:
    void record(char const* name);
    void wait_for_no_device();

    SimWorld& world;
    QList<Snapshot> snapshots;
};

void TestWindowFlow::record(char const* name) {
    ProgressBar* bar = mainWindow->progressBar;
    snapshots << Snapshot{
        name,          status_text(), mainWindow->installButton->isEnabled(), bar->isVisible(),
        bar->format(), bar->value()};
}

void TestWindowFlow::initTestCase() {
    QVERIFY(world.ok());
    GUI_init();
    QVERIFY(mainWindow && logWindow && sm_A && sm_B);
    QCOMPARE(mainWindow->windowTitle(), QString("Zentova Firmware Upgrade Tool"));
    QVERIFY(mainWindow->isVisible());
    // Connected after the tool's own handlers, so each snapshot shows their combined effect.
    connect(sm_B, &SM_B::sig_UpgradeImpossible, this, [this] { record("UpgradeImpossible"); });
    connect(sm_B, &SM_B::sig_UpgradePossible, this, [this] { record("UpgradePossible"); });
    connect(sm_B, &SM_B::sig_DifferingRevision, this, [this] { record("DifferingRevision"); });
    connect(sm_B, &SM_B::sig_DoDownload, this, [this] { record("DoDownload"); });
    connect(sm_B, &SM_B::sig_UploadingVerifying, this, [this] { record("UploadingVerifying"); });
    connect(sm_B, &SM_B::sig_FwMatches, this, [this] { record("FwMatches"); });
    connect(sm_B, &SM_B::sig_DeviceConnected, this, [this] { record("DeviceConnected"); });
}

void TestWindowFlow::wait_for_no_device() {
    QTRY_COMPARE_WITH_TIMEOUT(status_text(), settings.gui.text("status_noDev"), 15000);
    QVERIFY(!mainWindow->installButton->isEnabled());
    QVERIFY(!mainWindow->progressBar->isVisible());
}

void TestWindowFlow::start_up_shows_no_device() {
    QVERIFY(!sm_A->isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(sm_A->isRunning(), 5000);
    wait_for_no_device();
    QVERIFY(log_lines().contains("Starting sm_A"));
    QCOMPARE(mainWindow->progressBar->format(), QString("This text should not be visible!"));
}

void TestWindowFlow::upgrade_through_the_window() {
    snapshots.clear();
    QVERIFY(world.load("old-firmware"));
    QTRY_VERIFY_WITH_TIMEOUT(mainWindow->installButton->isEnabled(), 20000);
    QString const old_revision = sm_B->connected_device_info.FW_revision;
    QVERIFY(!old_revision.isEmpty());
    QVERIFY(old_revision != settings.desired_FW_revision);
    QCOMPARE(status_text(), device_revision_text(old_revision));
    QVERIFY(!mainWindow->progressBar->isVisible());

    QTest::mouseClick(mainWindow->installButton, Qt::LeftButton);
    // A second request while the download is under way changes nothing: no download can follow it.
    QTest::qWait(50);
    emit mainWindow->installButton->clicked();
    QCOMPARE(mainWindow->progressBar->value(), 0);
    QVERIFY(mainWindow->progressBar->isVisible());
    QCOMPARE(mainWindow->progressBar->format(), QString("Upgrading firmware"));
    QCOMPARE(mainWindow->progressBar->geometry(), mainWindow->installButton->geometry());
    QCOMPARE(mainWindow->progressBar->durationMs, 60000);

    QTRY_COMPARE_WITH_TIMEOUT(mainWindow->progressBar->format(), QString("Done. Disconnect USB cable."),
                              60000);
    QCOMPARE(mainWindow->progressBar->value(), 100);
    QVERIFY(mainWindow->progressBar->isVisible());
    QCOMPARE(status_text(), device_revision_text(settings.desired_FW_revision));
    QVERIFY(!mainWindow->installButton->isEnabled());
    QFile image(Files::external_dir.path() + "/" + Files::desired_FW_fileName_bin);
    QVERIFY(image.open(QIODevice::ReadOnly));
    QByteArray const written = image.readAll();
    QCOMPARE(world.flash().left(written.size()), written);

    QStringList signals_seen;
    for (Snapshot const& s : snapshots)
        signals_seen << s.signal;
    QCOMPARE(signals_seen, QStringList({"DeviceConnected", "UpgradePossible", "DifferingRevision",
                                        "DoDownload", "DoDownload", "UpgradeImpossible", "DeviceConnected",
                                        "UploadingVerifying", "FwMatches"}));
    QString const connected =
        settings.gui.text("status_devConn").arg(sm_B->connected_device_info.OTP_info.product_name());
    QCOMPARE(snapshots[0].status, connected);
    QVERIFY(!snapshots[0].button_enabled);
    QVERIFY(snapshots[1].button_enabled);
    QCOMPARE(snapshots[2].status, device_revision_text(old_revision));
    QCOMPARE(snapshots[4].caption, QString("Upgrading firmware"));
    QVERIFY(snapshots[4].bar_visible);
    // The written unit restarts off the bus: the bar keeps covering the button.
    QCOMPARE(snapshots[5].status, settings.gui.text("status_restarting"));
    QVERIFY(snapshots[5].bar_visible);
    QVERIFY(!snapshots[5].button_enabled);
    QCOMPARE(snapshots[7].caption, QString("Uploading & verifying"));
    QVERIFY(snapshots[7].bar_visible);
    // The read-back's bytes have filled the bar by the verdict, which completes it.
    QVERIFY(snapshots[8].value >= 99);
    QVERIFY(log_lines().contains("Install clicked"));

    QVERIFY(world.load("no-device"));
    wait_for_no_device();
}

void TestWindowFlow::firmware_differing_after_upgrade_offers_it_again() {
    QVERIFY(world.load("bad-cell"));
    QTRY_VERIFY_WITH_TIMEOUT(mainWindow->installButton->isEnabled(), 20000);
    QTest::mouseClick(mainWindow->installButton, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(mainWindow->progressBar->format(), QString("FW differs"), 60000);
    QVERIFY(!mainWindow->progressBar->isVisible());
    QCOMPARE(mainWindow->progressBar->value(), 0);
    QVERIFY(mainWindow->installButton->isEnabled());
    QCOMPARE(status_text(), device_revision_text(sm_B->connected_device_info.FW_revision));
    QVERIFY(world.load("no-device"));
    wait_for_no_device();
}

void TestWindowFlow::another_product_leaves_the_button_disabled() {
    QVERIFY(world.load("other-product"));
    QTRY_VERIFY_WITH_TIMEOUT(sm_B->configuration().contains(sm_B->B8), 20000);
    QCOMPARE(status_text(),
             settings.gui.text("status_devConn").arg(sm_B->connected_device_info.OTP_info.product_name()));
    QVERIFY(!mainWindow->installButton->isEnabled());
    QVERIFY(world.load("no-device"));
    wait_for_no_device();
}

void TestWindowFlow::ctrl_l_shows_the_log_beside_the_window() {
    mainWindow->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(mainWindow.data()));
    QTest::keyClick(mainWindow.data(), Qt::Key_L, Qt::ControlModifier);
    LogWindowDialog* dialog = logWindow->dialog;
    QVERIFY(dialog->isVisible());
    QRect const screen = mainWindow->screen()->availableGeometry();
    QCOMPARE(dialog->geometry(), beside(mainWindow->geometry(), dialog->size(), screen));
    QVERIFY(screen.contains(dialog->geometry()));
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QTest::keyClick(dialog, Qt::Key_L, Qt::ControlModifier);
    QVERIFY(!dialog->isVisible());
}

// The A key enables the button in any state; a click in one where no download follows shows nothing started.
void TestWindowFlow::click_where_no_download_can_follow_starts_nothing() {
    QVERIFY(world.load("no-device"));
    wait_for_no_device();
    QTest::keyClick(mainWindow.data(), Qt::Key_A);
    QVERIFY(mainWindow->installButton->isEnabled());
    QTest::mouseClick(mainWindow->installButton, Qt::LeftButton);
    QTest::qWait(300);
    QVERIFY(!mainWindow->progressBar->isVisible());
    QVERIFY(mainWindow->progressBar->format() != "Upgrading firmware");
    QTest::keyClick(mainWindow.data(), Qt::Key_A);
}

void TestWindowFlow::quit_key_stops_the_engine_and_leaves_the_event_loop() {
    StderrCapture capture;
    QTimer::singleShot(0, mainWindow.data(), [] { QTest::keyClick(mainWindow.data(), Qt::Key_Q); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
    QElapsedTimer clock;
    clock.start();
    int const result = QApplication::exec();
    QCOMPARE(result, 0);
    QVERIFY(clock.elapsed() < 2000);
    QVERIFY(!sm_B->isRunning());
    QVERIFY(!mainWindow->isVisible());
    QCOMPARE(GUI_cleanup(result), 0);
    QVERIFY(sm_A == nullptr);
    QString const output = capture.text();
    QVERIFY2(output.contains("Msg-handler reset"), qPrintable(output));
    QVERIFY2(output.indexOf("Msg-handler reset") < output.indexOf("Trying to stop sm_A"), qPrintable(output));
    QVERIFY2(output.indexOf("Trying to stop sm_A") < output.indexOf("app.exec() returns:  0"),
             qPrintable(output));
    QVERIFY2(output.indexOf("app.exec() returns:  0") < output.indexOf("Waiting 2 s before deleting objects"),
             qPrintable(output));
}

int main(int argc, char* argv[]) {
    SimWorld world("no-device");
    // The tool's own command line: simulator mode, every message routed to the log window.
    int tool_argc = 3;
    char tool_name[] = "updater";
    char simulator_option[] = "-s";
    char log_option[] = "-l";
    char* tool_argv[] = {tool_name, simulator_option, log_option, nullptr};
    QApplication app(tool_argc, tool_argv);
    TestWindowFlow test(world);
    return QTest::qExec(&test, argc, argv);
}

#include "test_window_flow.moc"
