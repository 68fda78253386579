#include "app/connections.h"

#include "app/narration.h"
#include "app/window_start.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "gui/accessibility.h"
#include "gui/log_window.h"
#include "gui/main_window.h"

#include <QApplication>
#include <QDebug>
#include <QShortcut>
#include <algorithm>

namespace {

bool quit_requested = false;

void set_status(QString const& text) {
    if (mainWindow && mainWindow->statusLabel)
        accessibility::tell(mainWindow->statusLabel, text);
}

void set_hint(QString const& text) {
    if (mainWindow && mainWindow->hintLabel) {
        QLabel* label = mainWindow->hintLabel;
        accessibility::tell(label, text);
        // As tall as the text needs at its fixed width, never taller than the room above the MODEL button.
        label->resize(label->width(),
                      std::min(label->maximumHeight(), label->heightForWidth(label->width())));
        accessibility::show_part(label, !text.isEmpty());
    }
}

void reset_message_handler() {
    qInstallMessageHandler(nullptr);
    qInfo() << "Msg-handler reset";
}

void hide_windows() {
    if (logWindow)
        logWindow->dialog->hide();
    if (mainWindow)
        mainWindow->hide();
}

// Reads and listings end at once on a stop; the window goes at once and the engine stops out of sight.
void stop_engine() {
    hide_windows();
    reset_message_handler();
    qInfo() << "Trying to stop sm_A";
    sm_B->stop();
    sm_A->do_stop();
}

// A write under way is finished first, and the window says so. Quitting again leaves the write to finish
// on its own and ends the tool at once.
void quit() {
    if (quit_requested || !sm_A->is_writing()) {
        if (quit_requested)
            sm_A->leave_write_running();
        stop_engine();
        return;
    }
    quit_requested = true;
    narrator->tell_finishing_write();
    QObject::connect(
        sm_A, &SM_A::sig_A0_entered, mainWindow.data(), [] { stop_engine(); }, Qt::QueuedConnection);
}

void show_phase(QString const& caption, double seconds) {
    mainWindow->progressBar->startAutoProgress(caption, seconds);
}

void end_phase(QString const& caption, bool completed) {
    ProgressBar* bar = mainWindow->progressBar;
    bar->timer->stop();
    bar->setValue(completed ? bar->maximum() : bar->minimum());
    bar->setCaption(caption);
    if (!completed)
        bar->hide();
}

// The caption is never seen, the bar being hidden at once; a screen reader is not given it either.
void hide_phase() {
    ProgressBar* bar = mainWindow->progressBar;
    bar->setFormat("This text should not be visible!");
    bar->setAccessibleDescription(QString());
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

void connect_narrator(MainWindow* window) {
    QObject::connect(narrator, &Narrator::status, window, set_status);
    QObject::connect(narrator, &Narrator::hint, window, set_hint);
    QObject::connect(narrator, &Narrator::phase_started, window, show_phase);
    QObject::connect(narrator, &Narrator::phase_completed, window,
                     [](QString const& caption) { end_phase(caption, true); });
    QObject::connect(narrator, &Narrator::phase_failed, window,
                     [](QString const& caption) { end_phase(caption, false); });
    QObject::connect(narrator, &Narrator::phase_hidden, window, hide_phase);
    QObject::connect(narrator, &Narrator::progress, window,
                     [](int, int percent) { mainWindow->progressBar->followProgress(percent); });
}

} // namespace

void add_connections(QApplication* app) {
    MainWindow* window = mainWindow.data();
    QObject::connect(window, &MainWindow::finished, quit);
    QObject::connect(sm_B, &QStateMachine::stopped, app, &QCoreApplication::quit);
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, &MainWindow::disableDownload);
    QObject::connect(sm_B, &SM_B::sig_UpgradePossible, window, &MainWindow::enableDownload);
    QObject::connect(window->installButton, &QAbstractButton::clicked, sm_B, &SM_B::do_download);
    connect_narrator(window);
    add_log_shortcut(window);
    add_log_shortcut(logWindow->dialog);
}

void stop_on_termination_signal() {
    if (mainWindow)
        emit mainWindow->finished();
}
