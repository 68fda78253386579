#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the main thread, so that an interrupted run stops the
// engine in order and leaves through main, which removes the temporary directory.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // The first signal received (SIGINT, SIGTERM or SIGHUP), 0 while none came.
    static int received_signal();

signals:
    void received(int signal_number);

private:
    void read_pipe();

    QSocketNotifier* notifier;
};
