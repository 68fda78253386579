#pragma once

class QApplication;

// Wires the flow machine, the worker, the main window and the log window together.
void add_connections(QApplication* app);
// Connected by start-up to the flow machine's `started`: the worker polls only once B1 is entered.
void start_worker();
// SIGINT or SIGTERM: the quit key's stop, except that the worker is never terminated, so a dfu-util write
// under way is finished (shutdown waits for it) rather than cut short.
void stop_on_termination_signal();
