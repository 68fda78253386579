#include "dfu/child_process.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace DFU {

namespace child_process {

namespace {

constexpr int poll_interval_ms = 10;
// A child that writes more than this into one file is stopped by the kernel (SIGXFSZ): a runaway
// dfu-util cannot fill the memory through its anonymous output files.
constexpr rlim_t child_file_size_limit = 64 << 20;

// Closes its descriptor when it goes out of scope.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(Descriptor const&) = delete;
    Descriptor& operator=(Descriptor const&) = delete;
};

QString resolve(QString const& program) {
    return program.contains('/') ? program : QStandardPaths::findExecutable(program);
}

// At most output_limit bytes from the start of an anonymous output file.
QByteArray read_start(int fd, bool* cut = nullptr) {
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        return {};
    qint64 const size = info.st_size;
    if (cut)
        *cut = size > output_limit;
    QByteArray bytes(static_cast<int>(std::min<qint64>(size, output_limit)), Qt::Uninitialized);
    ssize_t const got = ::pread(fd, bytes.data(), bytes.size(), 0);
    bytes.truncate(got < 0 ? 0 : static_cast<int>(got));
    return bytes;
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void become_child(char const* path, char* const* argv, int in, int out, int err, int report) {
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        ::sigaction(signal_number, &default_action, nullptr);
    struct rlimit const file_size = {child_file_size_limit, child_file_size_limit};
    ::setrlimit(RLIMIT_FSIZE, &file_size);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execv(path, argv);
    int const error = errno;
    ssize_t const written = ::write(report, &error, sizeof error);
    (void)written;
    ::_exit(127);
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

bool stop_asked(Waiting const& waiting) {
    return waiting.stop_requested && waiting.stop_requested();
}

// Waits for the child as `waiting` says; the output is filled in by the caller.
Outcome wait_for(pid_t pid, Waiting const& waiting, int out_fd) {
    QElapsedTimer clock;
    clock.start();
    bool slow_reported = false;
    bool const may_end = waiting.leave_running_after_ms == 0;
    for (;;) {
        int status = 0;
        pid_t const done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return decode(status);
        if (done < 0 && errno != EINTR)
            return Outcome{End::crashed, -1, {}, {}, false};
        qint64 const elapsed = clock.elapsed();
        bool const slow = elapsed >= waiting.first_wait_ms;
        if (slow && !slow_reported) {
            slow_reported = true;
            if (waiting.on_slow)
                waiting.on_slow(read_start(out_fd));
        }
        bool const stop = stop_asked(waiting);
        if (may_end && (slow || stop)) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return Outcome{End::ended_by_us, -1, {}, {}, false};
        }
        bool const leave_now = waiting.leave_running_now && waiting.leave_running_now();
        if (!may_end && (leave_now || (slow && (stop || elapsed >= waiting.leave_running_after_ms))))
            return Outcome{End::left_running, -1, {}, {}, false};
        QThread::msleep(poll_interval_ms);
    }
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

    Descriptor in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    Descriptor out(::memfd_create("dfu-util-output", MFD_CLOEXEC));
    Descriptor err(::memfd_create("dfu-util-errors", MFD_CLOEXEC));
    int report[2];
    if (in.fd < 0 || out.fd < 0 || err.fd < 0 || ::pipe2(report, O_CLOEXEC) != 0)
        return {};
    Descriptor report_read(report[0]);
    pid_t const pid = ::fork();
    if (pid == 0)
        become_child(path.constData(), argv.data(), in.fd, out.fd, err.fd, report[1]);
    ::close(report[1]);
    if (pid < 0)
        return {};
    int exec_error = 0;
    if (::read(report_read.fd, &exec_error, sizeof exec_error) == sizeof exec_error) {
        ::waitpid(pid, nullptr, 0);
        return {};
    }
    Outcome outcome = wait_for(pid, waiting, out.fd);
    outcome.output = read_start(out.fd, &outcome.output_cut);
    bool errors_cut = false;
    outcome.errors = read_start(err.fd, &errors_cut);
    outcome.output_cut = outcome.output_cut || errors_cut;
    return outcome;
}

} // namespace child_process

} // namespace DFU
