#pragma once

#include "app/app.h"

#include <QApplication>
#include <QPointer>
#include <memory>

class LogWindow;
class MainWindow;

// The window's start-up and shutdown, defined only in the window program: the runs without a window never
// see them, so no call of theirs can load the graphics toolkit.

// The windows, made by start-up and never deleted.
extern QPointer<LogWindow> logWindow;
extern QPointer<MainWindow> mainWindow;

// Brings every part up in start-up order; the event loop then runs the upgrade. Stops early, before any
// unit is touched, when another instance runs or the private files cannot be made.
StartupFailure GUI_init();
// Stops and deletes the engine after the event loop; returns the loop's result.
int GUI_cleanup(int result);

// Whether a window can be opened: a platform chosen by QT_QPA_PLATFORM that needs no display server, an X
// display whose socket answers, or a Wayland display whose socket exists.
bool display_available();

// Makes the application object once its platform has shown that it can serve a window; null when it cannot,
// with the user told why on standard error. A platform that would abort the process as it starts (an X
// server that refuses this user, a platform that is missing or finds no device) ends it with
// Exit::cannot_start and the same kind of words, before anything of the tool's exists. Without a session
// bus none is started for the window.
std::unique_ptr<QApplication> open_platform(int& argc, char** argv);

// The directory the toolkit makes for itself when XDG_RUNTIME_DIR is unset, removed again at the end of the
// run when this run made it and it is empty.
class ToolkitRuntimeDir {
public:
    ToolkitRuntimeDir();
    ~ToolkitRuntimeDir();
    ToolkitRuntimeDir(ToolkitRuntimeDir const&) = delete;
    ToolkitRuntimeDir& operator=(ToolkitRuntimeDir const&) = delete;

    void remove_if_made();

private:
    QByteArray made; // empty: this run does not make it
};

// Routes a log message to the log window while it lives; runs on whichever thread logged.
void logWindowMessageHandler(QtMsgType type, QMessageLogContext const& context, QString const& text);
