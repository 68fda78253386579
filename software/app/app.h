#pragma once

#include "gui/settings.h"

#include <QCoreApplication>
#include <QPointer>
#include <QStringList>

class LogWindow;
class QCommandLineParser;
class MainWindow;
class SM_B;

// Process-wide objects made by start-up. The windows are never deleted; sm_B is deleted by
// GUI_cleanup, after the worker sm_A (declared with SM_A).
extern QPointer<LogWindow> logWindow;
extern QPointer<MainWindow> mainWindow;
extern SM_B* sm_B;
extern Settings::Settings settings;
extern bool use_log_window;

// The program's options, in the order --help lists them: the one table that parse_arguments, main's
// early look at the command line and the manual page read.
void add_program_options(QCommandLineParser* parser);
// Ends the process with the parser's message on an unknown option.
void parse_arguments(QCoreApplication* app);
void parse_arguments(QStringList const& arguments);

// Brings every part up in start-up order; the event loop then runs the upgrade.
void GUI_init();
// The same start-up without fonts, log window, main window and connections (option --headless).
void headless_init();
// Stops and deletes the engine after the event loop; returns the loop's result.
int GUI_cleanup(int result);

// Routes a log message to the log window while it lives; runs on whichever thread logged.
void logWindowMessageHandler(QtMsgType type, QMessageLogContext const& context, QString const& text);
