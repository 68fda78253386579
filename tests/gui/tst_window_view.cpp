// The window as a keyboard user and a screen reader meet it, and what it says while a written unit restarts:
// the whole tool in simulator mode against the emulated device.
#include "app/window_start.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "gui/main_window.h"

#include "sim_fixture.h"

#include <QAccessible>
#include <QApplication>
#include <QSignalSpy>
#include <QtTest>

namespace {

QAccessibleInterface* accessible(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget);
}

QString name_of(QWidget* widget) {
    return accessible(widget)->text(QAccessible::Name);
}

QString description_of(QWidget* widget) {
    return accessible(widget)->text(QAccessible::Description);
}

// A key as the user presses it: to the widget that has the focus, which passes on what it does not use.
void press(Qt::Key key) {
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : mainWindow.data();
    QTest::keyClick(target, key);
}

} // namespace

class TestWindowView : public QObject {
    Q_OBJECT

public:
    explicit TestWindowView(SimWorld& world) : world(world) {}

private slots:
    void initTestCase();
    void keyboard_starts_the_offered_upgrade_and_parts_are_named();
    void restart_speaks_of_the_restart_not_the_cable();
    void service_write_to_a_blank_record_is_verified();

private:
    SimWorld& world;
};

void TestWindowView::initTestCase() {
    QVERIFY(world.ok());
    command_line = parse_command_line(QCoreApplication::arguments());
    QVERIFY(!GUI_init());
    mainWindow->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(mainWindow.data()));
    QTRY_COMPARE_WITH_TIMEOUT(mainWindow->statusLabel->text(), settings.gui.text("status_noDev"), 15000);
}

void TestWindowView::keyboard_starts_the_offered_upgrade_and_parts_are_named() {
    InstallButton* button = mainWindow->installButton;
    ProgressBar* bar = mainWindow->progressBar;
    // Space and Enter click the button once the A key has enabled it; with no unit nothing follows.
    QSignalSpy clicks(button, &QAbstractButton::clicked);
    for (Qt::Key key : {Qt::Key_Space, Qt::Key_Enter}) {
        press(Qt::Key_A);
        QVERIFY(button->isEnabled());
        press(key);
        press(Qt::Key_A);
        QVERIFY(!button->isEnabled());
    }
    QCOMPARE(clicks.count(), 2);
    press(Qt::Key_Return);
    QCOMPARE(clicks.count(), 2);

    // The unit restarts for a while after the write, so that the next test sees that moment.
    QVERIFY(world.load("old-firmware"));
    QCOMPARE(world.simctl({"set", "dev0", "reenter_delay_fast_ms", "3000"}).exit_code, 0);
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 20000);
    QCOMPARE(QApplication::focusWidget(), button);

    QCOMPARE(name_of(mainWindow->statusLabel), QString("Connected to a F20 with firmware version 2.6.3"));
    QCOMPARE(accessible(mainWindow->statusLabel)->role(), QAccessible::Notification);
    QCOMPARE(accessible(mainWindow->hintLabel)->role(), QAccessible::Notification);
    QCOMPARE(name_of(button), QString("Install the firmware"));
    QCOMPARE(description_of(button), QString("5. Click here to start upgrade"));
    QCOMPARE(accessible(button)->role(), QAccessible::Button);
    QVERIFY(accessible(button)->state().focused);
    QCOMPARE(name_of(bar), QString("Upgrade progress"));

    press(Qt::Key_Return);
    QTRY_VERIFY(sm_B->configuration().contains(sm_B->B3));
    QVERIFY(bar->isVisible());
    QCOMPARE(description_of(bar), QString("Upgrading firmware"));
    // Covered by the bar, the button takes no click; the bar has the focus and tells the phase.
    QVERIFY(!button->isEnabled());
    QCOMPARE(QApplication::focusWidget(), bar);
    QCOMPARE(accessible(bar)->child(0)->text(QAccessible::Name), QString("Upgrading firmware"));
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() > 0, 20000);
    QAccessibleValueInterface* value = accessible(bar)->valueInterface();
    QVERIFY(value);
    QCOMPARE(value->currentValue().toInt(), bar->value());
    QCOMPARE(value->maximumValue().toInt(), 100);
}

void TestWindowView::restart_speaks_of_the_restart_not_the_cable() {
    ProgressBar* bar = mainWindow->progressBar;
    QString const restarting = settings.gui.text("status_restarting");
    QTRY_COMPARE_WITH_TIMEOUT(mainWindow->statusLabel->text(), restarting, 60000);
    // Off the bus, as with no unit, yet the bar still covers the greyed button and says what comes.
    QVERIFY(sm_B->configuration().contains(sm_B->B1));
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->geometry(), mainWindow->installButton->geometry());
    QCOMPARE(bar->format(), settings.gui.text("bar_restarting"));
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(mainWindow->hintLabel->isVisible());
    QVERIFY(mainWindow->hintLabel->text().contains("do not disconnect", Qt::CaseInsensitive));
    QVERIFY(name_of(mainWindow->statusLabel).contains("restarts"));

    QTRY_COMPARE_WITH_TIMEOUT(bar->format(), QString("Done. Disconnect USB cable."), 60000);
    QByteArray const image = SimWorld::embedded_image();
    QVERIFY(!image.isEmpty());
    QCOMPARE(world.flash().left(image.size()), image);
}

// A, then install, on a unit with a blank product record: the write is read back and judged like any other.
void TestWindowView::service_write_to_a_blank_record_is_verified() {
    QVERIFY(world.load("blank-otp"));
    QTRY_VERIFY_WITH_TIMEOUT(sm_B->configuration().contains(sm_B->B9), 20000);
    press(Qt::Key_A);
    QVERIFY(mainWindow->installButton->isEnabled());
    press(Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(sm_B->configuration().contains(sm_B->B6), 60000);
    QCOMPARE(mainWindow->progressBar->format(), QString("Done. Disconnect USB cable."));
    QByteArray const image = SimWorld::embedded_image();
    QCOMPARE(world.flash().left(image.size()), image);
}

int main(int argc, char* argv[]) {
    SimWorld world("no-device");
    int tool_argc = 2;
    char tool_name[] = "updater";
    char simulator_option[] = "-s";
    char* tool_argv[] = {tool_name, simulator_option, nullptr};
    QApplication app(tool_argc, tool_argv);
    TestWindowView test(world);
    int const result = QTest::qExec(&test, argc, argv);
    GUI_cleanup(0);
    return result;
}

#include "tst_window_view.moc"
