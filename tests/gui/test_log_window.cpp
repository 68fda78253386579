#include "gui/log_window.h"

#include "stderr_capture.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <sys/mount.h>

namespace {

LogWindow* forward_to = nullptr;

void forwarding_handler(QtMsgType type, QMessageLogContext const& context, QString const& msg) {
    if (forward_to)
        emit forward_to->sendMessage(type, context, msg);
}

// Runs the action once a top-level widget of the given type is shown, from inside its modal loop.
template <typename Widget, typename Action> void when_shown(Action action) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, action] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<Widget*>(widget); found && found->isVisible()) {
                poll->stop();
                poll->deleteLater();
                action(found);
                return;
            }
    });
    poll->start(20);
}

QStringList lines_of(QString const& text) {
    return text.split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestLogWindow : public QObject {
    Q_OBJECT

private slots:
    void message_levels_data();
    void message_levels();
    void rich_text_message_is_shown_as_rich_text();
    void clear_empties_the_view();
    void save_writes_the_plain_text_to_the_chosen_file();
    void save_to_unwritable_path_shows_the_error_box();
    void save_to_a_full_disk_keeps_the_earlier_file();
    void toggle_places_dialog_beside_the_main_window_data();
    void toggle_places_dialog_beside_the_main_window();
    void keys_and_frame_close_only_hide_the_dialog();
    void worker_thread_messages_arrive_in_order_on_the_gui_thread();
    void fatal_message_is_echoed_and_ends_the_process_data();
    void fatal_message_is_echoed_and_ends_the_process();
};

void TestLogWindow::message_levels_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("view");
    QTest::addColumn<QString>("standard_error");
    QTest::newRow("debug") << int(QtDebugMsg) << "Debug: text 1"
                           << "Debug: text 1 (file.cpp:12, fn)";
    QTest::newRow("info") << int(QtInfoMsg) << "text 1"
                          << "Info: text 1 (file.cpp:12, fn)";
    QTest::newRow("warning") << int(QtWarningMsg) << "Warning: text 1"
                             << "Warning: text 1 (file.cpp:12, fn)";
    QTest::newRow("critical") << int(QtCriticalMsg) << "CRITICAL: text 1"
                              << "Critical: text 1 (file.cpp:12, fn)";
}

void TestLogWindow::message_levels() {
    QFETCH(int, type);
    QFETCH(QString, view);
    QFETCH(QString, standard_error);
    LogWindow log;
    StderrCapture capture;
    log.outputMessage(QtMsgType(type), QMessageLogContext("file.cpp", 12, "fn", "default"), "text 1");
    log.outputMessage(QtMsgType(type), QMessageLogContext(), "text 2");
    QCOMPARE(lines_of(log.dialog->logView->toPlainText()),
             QStringList({view, QString(view).replace("1", "2")}));
    QCOMPARE(
        lines_of(capture.text()),
        QStringList({standard_error, QString(standard_error).replace("1 (file.cpp:12, fn)", "2 (:0, )")}));
}

void TestLogWindow::rich_text_message_is_shown_as_rich_text() {
    LogWindow log;
    StderrCapture capture;
    log.outputMessage(QtInfoMsg, QMessageLogContext(), "<b>bold</b> text");
    QCOMPARE(log.dialog->logView->toPlainText(), QString("bold text"));
    QCOMPARE(capture.text(), QString("Info: <b>bold</b> text (:0, )\n"));
}

void TestLogWindow::clear_empties_the_view() {
    LogWindow log;
    StderrCapture capture;
    log.outputMessage(QtInfoMsg, QMessageLogContext(), "before");
    QTest::mouseClick(log.dialog->clearButton, Qt::LeftButton);
    QVERIFY(log.dialog->logView->toPlainText().isEmpty());
    log.outputMessage(QtWarningMsg, QMessageLogContext(), "after");
    QCOMPARE(log.dialog->logView->toPlainText(), QString("Warning: after"));
}

void TestLogWindow::save_writes_the_plain_text_to_the_chosen_file() {
    LogWindow log;
    {
        StderrCapture capture;
        log.outputMessage(QtInfoMsg, QMessageLogContext(), "first");
        log.outputMessage(QtCriticalMsg, QMessageLogContext(), "second");
    }
    QTemporaryDir dir;
    QString const path = dir.filePath("saved.txt");
    QString proposed;
    when_shown<QFileDialog>([&proposed, path](QFileDialog* dialog) {
        proposed = dialog->selectedFiles().value(0);
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText(path);
        static_cast<QDialog*>(dialog)->accept();
    });
    QTest::mouseClick(log.dialog->saveButton, Qt::LeftButton);
    QCOMPARE(proposed, QDir::homePath() + "/logfile.txt");
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromLocal8Bit(saved.readAll()), QString("first\nCRITICAL: second"));
}

void TestLogWindow::save_to_unwritable_path_shows_the_error_box() {
    LogWindow log;
    QString const path = "/proc/no-such-dir/log.txt";
    QString title;
    QString text;
    when_shown<QMessageBox>([&title, &text](QMessageBox* box) {
        title = box->windowTitle();
        text = box->text();
        box->button(QMessageBox::Ok)->click();
    });
    QVERIFY(!log.dialog->save_to(path));
    QCOMPARE(title, QString("Error"));
    QCOMPARE(text, QString("<nobr>File '%1'<br/>cannot be opened for writing.<br/><br/>The log output could "
                           "<b>not</b> be saved!</nobr>")
                       .arg(path));
}

// A disk that fills up while the log is written leaves the earlier file as it was.
void TestLogWindow::save_to_a_full_disk_keeps_the_earlier_file() {
    QTemporaryDir place;
    QByteArray const mount_point = QFile::encodeName(place.path());
    QCOMPARE(::mount("tmpfs", mount_point.constData(), "tmpfs", 0, "size=64k"), 0);
    QString const path = place.filePath("log.txt");
    {
        QFile earlier(path);
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier log");
    }
    LogWindow log;
    log.dialog->logView->setPlainText(QString(200000, 'x'));
    QString text;
    when_shown<QMessageBox>([&text](QMessageBox* box) {
        text = box->text();
        box->button(QMessageBox::Ok)->click();
    });
    bool const saved = log.dialog->save_to(path);
    QFile kept(path);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QByteArray const content = kept.readAll();
    kept.close();
    ::umount(mount_point.constData());
    QVERIFY(!saved);
    QVERIFY(text.contains("cannot be written whole"));
    QCOMPARE(content, QByteArray("earlier log"));
}

void TestLogWindow::toggle_places_dialog_beside_the_main_window_data() {
    QTest::addColumn<QRect>("main_geometry");
    QTest::addColumn<QPoint>("place");
    // The offscreen screen is 800 x 600; the dialog 600 x 400.
    QTest::newRow("room on the right") << QRect(10, 20, 150, 100) << QPoint(159, 20);
    QTest::newRow("room on the left only") << QRect(650, 20, 100, 100) << QPoint(50, 20);
    QTest::newRow("no room beside") << QRect(100, 120, 300, 200) << QPoint(200, 120);
    QTest::newRow("low on the screen") << QRect(10, 500, 100, 50) << QPoint(109, 200);
}

void TestLogWindow::toggle_places_dialog_beside_the_main_window() {
    QFETCH(QRect, main_geometry);
    QFETCH(QPoint, place);
    LogWindow log;
    QMainWindow main;
    main.setGeometry(main_geometry);
    main.show();
    QCOMPARE(main.screen()->availableGeometry(), QRect(0, 0, 800, 600));
    log.toggle_visibility(&main);
    QVERIFY(log.dialog->isVisible());
    QCOMPARE(log.dialog->geometry(), QRect(place, QSize(600, 400)));
    log.toggle_visibility(&main);
    QVERIFY(!log.dialog->isVisible());
    log.toggle_visibility(nullptr);
    QVERIFY(log.dialog->isVisible());
    QTest::mouseClick(log.dialog->hideButton, Qt::LeftButton);
    QVERIFY(!log.dialog->isVisible());
}

void TestLogWindow::keys_and_frame_close_only_hide_the_dialog() {
    LogWindow log;
    QMainWindow main;
    main.setGeometry(10, 20, 150, 200);
    {
        StderrCapture capture;
        log.outputMessage(QtInfoMsg, QMessageLogContext(), "kept");
    }
    log.toggle_visibility(&main);
    QTest::keyClick(log.dialog, Qt::Key_Escape);
    QTest::keyClick(log.dialog, Qt::Key_Return);
    QVERIFY(log.dialog->isVisible());
    QVERIFY(log.dialog->close());
    QVERIFY(!log.dialog->isVisible());
    log.toggle_visibility(&main);
    QVERIFY(log.dialog->isVisible());
    QCOMPARE(log.dialog->geometry().topLeft(), QPoint(159, 20));
    QCOMPARE(log.dialog->logView->toPlainText(), QString("kept"));
}

void TestLogWindow::worker_thread_messages_arrive_in_order_on_the_gui_thread() {
    LogWindow log;
    QList<QThread*> view_threads;
    connect(
        log.dialog->logView, &QTextEdit::textChanged, this,
        [&view_threads] { view_threads << QThread::currentThread(); }, Qt::DirectConnection);
    int const count = 300;
    StderrCapture capture;
    forward_to = &log;
    QtMessageHandler const previous = qInstallMessageHandler(forwarding_handler);
    QThread* worker = QThread::create([] {
        for (int i = 0; i < count; ++i)
            qInfo().noquote() << "worker" << i;
    });
    worker->start();
    for (int i = 0; i < 50; ++i)
        qDebug().noquote() << "gui" << i;
    QVERIFY(worker->wait(10000));
    QTRY_COMPARE(log.dialog->logView->document()->blockCount(), count + 50);
    qInstallMessageHandler(previous);
    forward_to = nullptr;
    delete worker;

    QStringList worker_lines;
    QStringList gui_lines;
    for (QString const& line : lines_of(log.dialog->logView->toPlainText()))
        (line.startsWith("worker") ? worker_lines : gui_lines) << line;
    QStringList expected_worker;
    QStringList expected_gui;
    for (int i = 0; i < count; ++i)
        expected_worker << QString("worker %1").arg(i);
    for (int i = 0; i < 50; ++i)
        expected_gui << QString("Debug: gui %1").arg(i);
    QCOMPARE(worker_lines, expected_worker);
    QCOMPARE(gui_lines, expected_gui);
    for (QThread* thread : view_threads)
        QCOMPARE(thread, QThread::currentThread());
    QStringList const echoed = lines_of(capture.text());
    QCOMPARE(echoed.size(), count + 50);
    QCOMPARE(echoed.filter("Info: worker").size(), count);
}

void TestLogWindow::fatal_message_is_echoed_and_ends_the_process_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("shown");
    QTest::newRow("GUI thread") << "fatal-gui"
                                << "Fatal: fatal from the GUI thread"
                                << "view: FATAL: fatal from the GUI thread";
    QTest::newRow("worker thread") << "fatal-worker"
                                   << "Fatal: fatal from the worker"
                                   << "view: FATAL: fatal from the worker";
}

void TestLogWindow::fatal_message_is_echoed_and_ends_the_process() {
    QFETCH(QString, mode);
    QFETCH(QString, line);
    QFETCH(QString, shown);
    QProcess child;
    child.start(GUI_CHILD_PATH, {mode});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QString const output = QString::fromLocal8Bit(child.readAllStandardError());
    QCOMPARE(output.count(line), 1);
    QVERIFY2(output.indexOf("Info: before the end") < output.indexOf(line), qPrintable(output));
    QVERIFY2(output.contains("view: before the end\n"), qPrintable(output));
    QVERIFY2(output.contains(shown + "\n"), qPrintable(output));
    QVERIFY2(!output.contains("not reached"), qPrintable(output));
}

QTEST_MAIN(TestLogWindow)
#include "test_log_window.moc"
