#include "app/connections.h"

#include "app/app.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "gui/log_window.h"
#include "gui/main_window.h"

#include <QApplication>
#include <QDebug>
#include <QShortcut>

namespace {

// How long the quit key waits for the worker before terminating it.
const unsigned long worker_stop_wait_ms = 1000;

QString setting_text(QString const& id) {
    return settings.gui.text(id);
}

QString connected_product_name() {
    return sm_B->connected_device_info.OTP_info.product_name();
}

QString revision_text() {
    QString const revision = sm_B->connected_device_info.FW_revision;
    if (!revision.isEmpty())
        return setting_text("status_devRev").arg(connected_product_name()).arg(revision);
    return setting_text("status_devRevUnknown").arg(connected_product_name());
}

void set_status(QString const& text) {
    if (mainWindow && mainWindow->statusLabel)
        mainWindow->statusLabel->setText(text);
}

void reset_message_handler() {
    qInstallMessageHandler(nullptr);
    qInfo() << "Msg-handler reset";
}

void stop_worker() {
    qInfo() << "Trying to stop sm_A";
    sm_A->do_stop();
    if (sm_A->wait(worker_stop_wait_ms))
        return;
    qWarning() << "Oops, SM_A not dead yet";
    sm_A->terminate();
    sm_A->wait();
}

void show_no_device() {
    set_status(setting_text("status_noDev"));
    mainWindow->progressBar->setFormat("This text should not be visible!");
    mainWindow->progressBar->hide();
}

void show_firmware_matches() {
    ProgressBar* bar = mainWindow->progressBar;
    bar->timer->stop();
    bar->setValue(bar->maximum());
    bar->setFormat("Done. Disconnect USB cable.");
    set_status(revision_text());
}

void show_firmware_differs() {
    set_status(revision_text());
    ProgressBar* bar = mainWindow->progressBar;
    bar->timer->stop();
    bar->setValue(bar->minimum());
    bar->setFormat("FW differs");
    bar->hide();
}

void toggle_log_window() {
    if (logWindow)
        logWindow->toggle_visibility(mainWindow.data());
}

void add_log_shortcut(QWidget* window) {
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL + Qt::Key_L), window);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, toggle_log_window);
}

} // namespace

void add_connections(QApplication* app) {
    MainWindow* window = mainWindow.data();
    ProgressBar* bar = window->progressBar;

    QObject::connect(window, &MainWindow::finished, reset_message_handler);
    QObject::connect(window, &MainWindow::finished, sm_B, &QStateMachine::stop);
    QObject::connect(window, &MainWindow::finished, stop_worker);
    QObject::connect(sm_B, &QStateMachine::stopped, app, &QCoreApplication::quit);
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, &MainWindow::disableDownload);
    QObject::connect(sm_B, &SM_B::sig_UpgradePossible, window, &MainWindow::enableDownload);
    QObject::connect(sm_B, &SM_B::sig_DeviceConnected,
                     [] { set_status(setting_text("status_devConn").arg(connected_product_name())); });
    QObject::connect(sm_B, &SM_B::sig_DifferingRevision, [] { set_status(revision_text()); });
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, show_no_device);
    QObject::connect(window->installButton, &QAbstractButton::clicked, sm_B, &SM_B::do_download);
    QObject::connect(sm_B, &SM_B::sig_DoDownload, bar,
                     [bar] { bar->startAutoProgress("Upgrading firmware", 60.0); });
    QObject::connect(sm_B, &SM_B::sig_UploadingVerifying, bar,
                     [bar] { bar->startAutoProgress("Uploading & verifying", 0.5); });
    QObject::connect(sm_B, &SM_B::sig_FwMatches, show_firmware_matches);
    QObject::connect(sm_B, &SM_B::sig_FwDiffers, show_firmware_differs);
    add_log_shortcut(window);
    add_log_shortcut(logWindow->dialog);
}

void stop_on_termination_signal() {
    if (mainWindow)
        emit mainWindow->finished();
}

void start_worker() {
    qInfo() << "Starting sm_A";
    sm_A->start(QThread::InheritPriority);
}
