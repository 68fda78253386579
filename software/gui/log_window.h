#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QObject>
#include <QPushButton>
#include <QTextBrowser>

// Shows every log message, echoes it to standard error, and saves the collected text on request.
class LogWindowDialog : public QDialog {
    Q_OBJECT

public:
    explicit LogWindowDialog(QWidget* parent = nullptr);

    QTextBrowser* logView;
    QPushButton* clearButton;
    QPushButton* saveButton;
    QPushButton* hideButton;

    // Appends the message to the view only; outputMessage also echoes it and ends on a fatal one.
    void show_message(QtMsgType type, QString const& msg);
    // Writes the view's text to the file; false (after the "Error" box) when it cannot be opened.
    bool save_to(QString const& fileName);

public slots:
    void outputMessage(QtMsgType type, QMessageLogContext const& context, QString const& msg);

protected slots:
    void save();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

// Relay between the message handler, which runs on whichever thread logged, and the dialog,
// which lives on the GUI thread.
class LogWindow : public QObject {
    Q_OBJECT

public:
    explicit LogWindow(QObject* parent = nullptr);
    ~LogWindow() override;

    LogWindowDialog* dialog;

signals:
    void sendMessage(QtMsgType type, QMessageLogContext const& context, QString const& msg);

public slots:
    void outputMessage(QtMsgType type, QMessageLogContext const& context, QString const& msg);
    void toggle_visibility(QMainWindow* mainWindow);

private:
    void deliver(QtMsgType type, QMessageLogContext const& context, QString const& msg);
};

// Where the dialog goes beside the main window: to its right, else to its left, else against the screen's
// right edge; never off the screen where it fits on it.
QRect beside(QRect const& main, QSize const& size, QRect const& screen);
