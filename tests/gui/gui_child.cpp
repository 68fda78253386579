// Child process for the tests whose subject ends the process: a fatal log message, and a window
// built from settings without the no-device text.
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/window_settings.h"

#include <QApplication>
#include <QTextBlock>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {

LogWindow* log_window = nullptr;

void to_log_window(QtMsgType type, QMessageLogContext const& context, QString const& msg) {
    emit log_window->sendMessage(type, context, msg);
}

int log_fatal(QApplication& app, bool from_worker) {
    log_window = new LogWindow;
    // What the view shows, written out as it changes, since the process ends right after a fatal message.
    QObject::connect(log_window->dialog->logView, &QTextEdit::textChanged, [] {
        QString const last = log_window->dialog->logView->document()->lastBlock().text();
        std::fprintf(stderr, "view: %s\n", qPrintable(last));
    });
    qInstallMessageHandler(to_log_window);
    qInfo() << "before the end";
    if (!from_worker)
        qFatal("fatal from the GUI thread");
    QThread* worker = QThread::create([] { qFatal("fatal from the worker"); });
    QTimer::singleShot(0, worker, [worker] { worker->start(); });
    QTimer::singleShot(10000, &app, [] { qInfo() << "not reached"; });
    return app.exec();
}

int window_without_status_text() {
    Settings::Settings settings;
    settings.gui = Settings::parse_GUI(R"({"labels":[{"id":"9","text":"4. Connect USB cable"}]})");
    MainWindow_factory(&settings, nullptr, false);
    qInfo() << "not reached";
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QString const mode = app.arguments().value(1);
    if (mode == "fatal-gui" || mode == "fatal-worker")
        return log_fatal(app, mode == "fatal-worker");
    if (mode == "no-status-text")
        return window_without_status_text();
    return 2;
}
