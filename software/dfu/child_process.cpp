#include "dfu/child_process.h"

#include "files/support_misc.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace DFU {

namespace child_process {

namespace {

// How often a running child's output, the stop request and the clock are looked at. The child's end itself
// wakes the wait at once through its process descriptor; without one (kernels before 5.3), the end is looked
// for this often too, at a shorter interval.
constexpr int poll_interval_ms = 50;
constexpr int poll_interval_without_process_descriptor_ms = 10;
// A child that writes more than this into one file is stopped by the kernel (SIGXFSZ): a runaway
// dfu-util cannot fill the memory through its anonymous output files.
constexpr rlim_t child_file_size_limit = 64 << 20;
// Every descriptor the runner hands to the child is moved at least this high first, so that placing the
// standard streams and the inherited ones on 0, 1, 2, 3, ... never overwrites one still to be placed.
constexpr int source_floor = 16;

using support_misc::Descriptor;

// A close-on-exec copy at source_floor or above, the original closed.
int lifted(int fd) {
    if (fd < 0 || fd >= source_floor)
        return fd;
    int const copy = ::fcntl(fd, F_DUPFD_CLOEXEC, source_floor);
    ::close(fd);
    return copy;
}

QString resolve(QString const& program) {
    return program.contains('/') ? program : QStandardPaths::findExecutable(program);
}

qint64 size_of(int fd) {
    struct stat info = {};
    return ::fstat(fd, &info) == 0 ? info.st_size : 0;
}

// At most `limit` bytes of an anonymous output file from `offset`.
QByteArray read_at(int fd, qint64 offset, qint64 limit) {
    qint64 const size = size_of(fd);
    if (size <= offset || limit <= 0)
        return {};
    QByteArray bytes(static_cast<int>(std::min(size - offset, limit)), Qt::Uninitialized);
    ssize_t const got = ::pread(fd, bytes.data(), static_cast<size_t>(bytes.size()), offset);
    bytes.truncate(got < 0 ? 0 : static_cast<int>(got));
    return bytes;
}

// At most output_limit bytes from the start of an anonymous output file.
QByteArray read_start(int fd, bool* cut = nullptr) {
    if (cut)
        *cut = size_of(fd) > output_limit;
    return read_at(fd, 0, output_limit);
}

Outcome decode(int status) {
    Outcome outcome;
    if (WIFEXITED(status)) {
        outcome.end = End::exited;
        outcome.exit_code = WEXITSTATUS(status);
    } else {
        outcome.end = End::crashed;
    }
    return outcome;
}

bool asked(std::function<bool()> const& question) {
    return question && question();
}

// The child's output that came since the last look, up to output_limit in all.
void pass_on_output(Waiting const& waiting, int out_fd, qint64* passed) {
    if (!waiting.on_output || size_of(out_fd) <= *passed)
        return;
    QByteArray const more = read_at(out_fd, *passed, output_limit - *passed);
    *passed += more.size();
    if (!more.isEmpty())
        waiting.on_output(more);
}

// Sleeps until the child ends or poll_interval_ms pass. Without a process descriptor, just sleeps.
void sleep_on(int pid_fd) {
    if (pid_fd < 0) {
        ::usleep(poll_interval_without_process_descriptor_ms * 1000);
        return;
    }
    struct pollfd child = {pid_fd, POLLIN, 0};
    ::poll(&child, 1, poll_interval_ms);
}

// Waits for the child as `waiting` says; the output is filled in by the caller.
Outcome wait_for(pid_t pid, Waiting const& waiting, int out_fd) {
    Descriptor pid_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    QElapsedTimer clock;
    clock.start();
    bool slow_reported = false;
    qint64 passed = 0;
    qint64 next_tick = waiting.tick_ms;
    for (;;) {
        int status = 0;
        pid_t const done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            pass_on_output(waiting, out_fd, &passed);
            return decode(status);
        }
        if (done < 0 && errno != EINTR)
            return Outcome{End::crashed, -1, {}, {}, false};
        pass_on_output(waiting, out_fd, &passed);
        qint64 const elapsed = clock.elapsed();
        bool const slow = elapsed >= waiting.first_wait_ms;
        if (slow && !slow_reported) {
            slow_reported = true;
            if (waiting.on_slow)
                waiting.on_slow(read_start(out_fd));
        }
        if (waiting.on_tick && elapsed >= next_tick) {
            next_tick += waiting.tick_ms;
            waiting.on_tick(elapsed);
        }
        if (waiting.may_end && (slow || asked(waiting.stop_requested))) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return Outcome{slow ? End::timed_out : End::ended_by_us, -1, {}, {}, false};
        }
        if (!waiting.may_end && asked(waiting.leave_running_now))
            return Outcome{End::left_running, -1, {}, {}, false};
        sleep_on(pid_fd.fd);
    }
}

// Everything the child needs between fork and exec, prepared before the fork: the child may then only make
// async-signal-safe calls.
struct ChildSetup {
    char const* path;
    char* const* argv;
    int in, out, err;
    std::vector<int> inherited;
    int report_fd;        // close-on-exec; an exec that fails writes its errno here
    bool die_with_parent; // a read or a listing ends with this process, however it ends
    pid_t parent;
};

// Closes every descriptor from `first` on except `kept`.
void close_all_from(int first, int kept) {
    if (::syscall(SYS_close_range, first, kept - 1, 0) != 0 ||
        ::syscall(SYS_close_range, kept + 1, ~0U, 0) != 0) {
        for (int fd = first; fd < 65536; ++fd)
            if (fd != kept)
                ::close(fd);
    }
}

// Own session, every signal at its default and unblocked, the standard streams and the inherited
// descriptors in place, and nothing else open.
[[noreturn]] void become_child(ChildSetup const& setup) {
    ::setsid();
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number)
        ::sigaction(signal_number, &default_action, nullptr);
    bool placed = ::dup2(setup.in, STDIN_FILENO) >= 0 && ::dup2(setup.out, STDOUT_FILENO) >= 0 &&
                  ::dup2(setup.err, STDERR_FILENO) >= 0;
    int next = STDERR_FILENO + 1;
    for (int fd : setup.inherited)
        placed = placed && ::dup2(fd, next++) >= 0;
    close_all_from(next, setup.report_fd);
    struct rlimit const file_size = {child_file_size_limit, child_file_size_limit};
    ::setrlimit(RLIMIT_FSIZE, &file_size);
    // The death signal comes when the thread that forked ends; each run is waited for on that thread, and
    // only a write, which never gets it, is ever left running.
    if (setup.die_with_parent && (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != setup.parent))
        ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (placed)
        ::execve(setup.path, setup.argv, environ);
    int const error = placed ? errno : EBADF;
    ssize_t const written = ::write(setup.report_fd, &error, sizeof error);
    (void)written;
    ::_exit(127);
}

// The child's id, or -1 when it could not be started (its exec failed, or the fork did).
pid_t start(ChildSetup setup) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return -1;
    // Above every descriptor the child places, so that none of them overwrites it.
    Descriptor const report_read(lifted(report[0]));
    Descriptor report_write(lifted(report[1]));
    if (report_read.fd < 0 || report_write.fd < 0)
        return -1;
    setup.report_fd = report_write.fd;
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    // No handler of this process may run in the child before its dispositions are reset.
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_t const pid = ::fork();
    if (pid == 0)
        become_child(setup);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0)
        return -1;
    // Only the child's copy may remain, so that its exec ends the read below.
    ::close(report_write.release());
    int error = 0;
    ssize_t got;
    do
        got = ::read(report_read.fd, &error, sizeof error);
    while (got < 0 && errno == EINTR);
    if (got == 0)
        return pid;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return -1;
}

// A parent may start this process with SIGCHLD ignored; then the kernel reaps every child at once and no
// exit status could be read.
void restore_child_signal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction default_action = {};
        default_action.sa_handler = SIG_DFL;
        sigemptyset(&default_action.sa_mask);
        ::sigaction(SIGCHLD, &default_action, nullptr);
    });
}

} // namespace

Outcome run(QString const& program, QStringList const& args, Waiting const& waiting) {
    QByteArray const path = QFile::encodeName(resolve(program));
    if (path.isEmpty())
        return {};
    std::vector<QByteArray> storage{QFile::encodeName(program)};
    for (QString const& arg : args)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);
    restore_child_signal();

    pid_t const parent = ::getpid();
    Descriptor in(lifted(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
    Descriptor out(lifted(::memfd_create("dfu-util-output", MFD_CLOEXEC)));
    Descriptor err(lifted(::memfd_create("dfu-util-errors", MFD_CLOEXEC)));
    std::vector<Descriptor> copies;
    std::vector<int> inherited;
    for (int fd : waiting.inherited) {
        copies.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, source_floor));
        inherited.push_back(copies.back().fd);
    }
    bool const all_open = std::none_of(inherited.begin(), inherited.end(), [](int fd) { return fd < 0; });
    if (in.fd < 0 || out.fd < 0 || err.fd < 0 || !all_open)
        return {};
    pid_t const pid =
        start({path.constData(), argv.data(), in.fd, out.fd, err.fd, inherited, -1, waiting.may_end, parent});
    if (pid < 0)
        return {};
    Outcome outcome = wait_for(pid, waiting, out.fd);
    outcome.output = read_start(out.fd, &outcome.output_cut);
    bool errors_cut = false;
    outcome.errors = read_start(err.fd, &errors_cut);
    outcome.output_cut = outcome.output_cut || errors_cut;
    return outcome;
}

} // namespace child_process

} // namespace DFU
