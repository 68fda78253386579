#pragma once

class QApplication;

// Wires the flow machine, the worker, the main window and the log window together.
void add_connections(QApplication* app);
// SIGINT or SIGTERM take the quit key's way out; like the quit key, they let a dfu-util run under way finish.
void stop_on_termination_signal();
