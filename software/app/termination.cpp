#include "app/termination.h"

#include <QDebug>
#include <QSocketNotifier>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int pipe_fds[2] = {-1, -1};
std::atomic<int> first_signal{0};

void install(int signal_number, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

// A closed terminal or SSH session (SIGHUP) ends the tool as SIGTERM does.
int const termination_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Only async-signal-safe work here: remember the signal and wake the event loop through the pipe. A second
// signal takes the default action, so a shutdown waiting for a dfu-util run can still be cut short; that
// run itself lives in a session of its own and finishes whatever happens to this process.
void on_signal(int signal_number) {
    int expected = 0;
    first_signal.compare_exchange_strong(expected, signal_number);
    char const byte = static_cast<char>(signal_number);
    ssize_t const written = ::write(pipe_fds[1], &byte, 1);
    (void)written;
    for (int termination : termination_signals)
        install(termination, SIG_DFL);
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning() << "Cannot watch for SIGINT and SIGTERM: no pipe";
        notifier = nullptr;
        return;
    }
    notifier = new QSocketNotifier(pipe_fds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignals::read_pipe);
    for (int termination : termination_signals)
        install(termination, on_signal);
    // A reader that goes away (`updater --headless | head`) makes writes fail instead of ending the tool
    // half-way through a run.
    install(SIGPIPE, SIG_IGN);
}

TerminationSignals::~TerminationSignals() {
    if (!notifier) {
        return;
    }
    for (int termination : termination_signals)
        install(termination, SIG_DFL);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    pipe_fds[0] = pipe_fds[1] = -1;
}

int TerminationSignals::received_signal() {
    return first_signal.load();
}

void TerminationSignals::read_pipe() {
    char byte = 0;
    while (::read(pipe_fds[0], &byte, 1) == 1) {
        emit received(static_cast<unsigned char>(byte));
    }
}
