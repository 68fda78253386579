#pragma once

#include "app/app.h"

#include <QPointer>

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

// Routes a log message to the log window while it lives; runs on whichever thread logged.
void logWindowMessageHandler(QtMsgType type, QMessageLogContext const& context, QString const& text);
