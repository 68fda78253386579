#include "gui/log_window.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QSaveFile>
#include <QScreen>
#include <QSemaphore>
#include <QTextStream>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct LevelFormat {
    const char* view;
    const char* standard_error;
};

LevelFormat level_format(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return {"Debug: %1", "Debug: %s (%s:%u, %s)\n"};
    case QtInfoMsg:
        return {"%1", "Info: %s (%s:%u, %s)\n"};
    case QtWarningMsg:
        return {"Warning: %1", "Warning: %s (%s:%u, %s)\n"};
    case QtCriticalMsg:
        return {"CRITICAL: %1", "Critical: %s (%s:%u, %s)\n"};
    case QtFatalMsg:
        break;
    }
    return {"FATAL: %1", "Fatal: %s (%s:%u, %s)\n"};
}

const char* or_empty(const char* text) {
    return text ? text : "";
}

void echo_to_standard_error(QtMsgType type, QMessageLogContext const& context, QString const& msg) {
    std::fprintf(stderr, level_format(type).standard_error, msg.toLocal8Bit().constData(),
                 or_empty(context.file), static_cast<unsigned>(context.line), or_empty(context.function));
    std::fflush(stderr);
}

// How long a fatal message on another thread waits for the GUI thread to show it before the logger
// ends the process anyway.
const int fatal_show_timeout_ms = 2000;

} // namespace

LogWindowDialog::LogWindowDialog(QWidget* parent)
    : QDialog(parent), logView(new QTextBrowser(this)), clearButton(new QPushButton("clear", this)),
      saveButton(new QPushButton("save output", this)), hideButton(new QPushButton("hide log", this)) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(logView);
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addStretch(10);
    buttons->addWidget(clearButton);
    buttons->addWidget(saveButton);
    buttons->addWidget(hideButton);
    layout->addLayout(buttons);

    connect(clearButton, &QPushButton::clicked, logView, &QTextBrowser::clear);
    connect(saveButton, &QPushButton::clicked, this, &LogWindowDialog::save);
    connect(hideButton, &QPushButton::clicked, this, &QDialog::hide);
    resize(600, 400);
}

void LogWindowDialog::show_message(QtMsgType type, QString const& msg) {
    logView->append(QString(level_format(type).view).arg(msg));
}

void LogWindowDialog::outputMessage(QtMsgType type, QMessageLogContext const& context, QString const& msg) {
    show_message(type, msg);
    echo_to_standard_error(type, context, msg);
    if (type == QtFatalMsg)
        std::abort();
}

void LogWindowDialog::save() {
    QString const fileName =
        QFileDialog::getSaveFileName(this, "Save Log Output", QString("%1/logfile.txt").arg(QDir::homePath()),
                                     "Text Files (*.txt);;All Files (*)");
    if (fileName.isEmpty())
        return;
    save_to(fileName);
}

// Written to a temporary file and renamed over the target only once whole: a full disk never leaves a
// truncated log in place of an earlier one.
bool LogWindowDialog::save_to(QString const& fileName) {
    QSaveFile file(fileName);
    bool const opened = file.open(QIODevice::WriteOnly);
    if (opened) {
        // QSaveFile takes a short write for a whole one; a full disk shows only in the count.
        QByteArray const bytes = logView->toPlainText().toLocal8Bit();
        if (file.write(bytes) != bytes.size() || !file.flush()) {
            file.cancelWriting();
        }
    }
    if (opened && file.commit()) {
        return true;
    }
    QString const problem = opened ? QString("cannot be written whole (%1)").arg(file.errorString())
                                   : QString("cannot be opened for writing");
    QMessageBox::warning(
        this, "Error",
        QString("<nobr>File '%1'<br/>%2.<br/><br/>The log output could <b>not</b> be saved!</nobr>")
            .arg(fileName, problem),
        QMessageBox::Ok);
    return false;
}

void LogWindowDialog::closeEvent(QCloseEvent* event) {
    event->accept();
}

// No key closes the dialog or presses a button, so a stray Escape or Return keeps the log open.
void LogWindowDialog::keyPressEvent(QKeyEvent*) {}

LogWindow::LogWindow(QObject* parent) : QObject(parent), dialog(new LogWindowDialog(nullptr)) {
    connect(this, &LogWindow::sendMessage, this, &LogWindow::deliver, Qt::DirectConnection);
}

LogWindow::~LogWindow() {
    delete dialog;
}

void LogWindow::outputMessage(QtMsgType type, QMessageLogContext const& context, QString const& msg) {
    emit sendMessage(type, context, msg);
}

// On the GUI thread the dialog handles the message at once. Another thread echoes it to standard
// error itself, so nothing is lost when the GUI thread no longer runs its event loop (shutdown), and
// queues a copy of the text for the view, which keeps the order and leaves the dialog to the GUI
// thread. A fatal message waits briefly until it is shown; the logger then ends the process.
void LogWindow::deliver(QtMsgType type, QMessageLogContext const& context, QString const& msg) {
    if (QThread::currentThread() == dialog->thread()) {
        dialog->outputMessage(type, context, msg);
        return;
    }
    echo_to_standard_error(type, context, msg);
    auto shown = std::make_shared<QSemaphore>();
    LogWindowDialog* target = dialog;
    QMetaObject::invokeMethod(
        target,
        [target, type, msg, shown] {
            target->show_message(type, msg);
            shown->release();
        },
        Qt::QueuedConnection);
    if (type == QtFatalMsg)
        shown->tryAcquire(1, fatal_show_timeout_ms);
}

void LogWindow::toggle_visibility(QMainWindow* mainWindow) {
    if (dialog->isVisible()) {
        dialog->hide();
        return;
    }
    dialog->show();
    if (mainWindow)
        dialog->setGeometry(
            beside(mainWindow->geometry(), dialog->size(), mainWindow->screen()->availableGeometry()));
}

QRect beside(QRect const& main, QSize const& size, QRect const& screen) {
    int x = main.x() + main.width() - 1;
    if (x + size.width() > screen.x() + screen.width()) {
        int const left = main.x() - size.width();
        x = left >= screen.x() ? left : screen.x() + screen.width() - size.width();
    }
    int const lowest = std::max(screen.y(), screen.y() + screen.height() - size.height());
    return {std::max(x, screen.x()), std::clamp(main.y(), screen.y(), lowest), size.width(), size.height()};
}
