#include "app/window_start.h"

#include "app/connections.h"
#include "app/exit_codes.h"
#include "app/start_up.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "dfu/simulator.h"
#include "gui/fonts.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/window_settings.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QScreen>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// The window's start-up and shutdown; only the window program links them, so that the runs without a
// window never load the graphics toolkit.

QPointer<LogWindow> logWindow;
QPointer<MainWindow> mainWindow;

namespace {

bool connects(int domain, sockaddr const* address, socklen_t length) {
    int const socket = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0)
        return false;
    bool answered = ::connect(socket, address, length) == 0;
    if (!answered && errno == EINPROGRESS) {
        // A display over the network that does not answer in time is as good as none.
        pollfd waiting{socket, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        answered = ::poll(&waiting, 1, 3000) == 1 &&
                   ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    ::close(socket);
    return answered;
}

// A local socket by path; with `abstract`, the same name in Linux's abstract namespace, where X servers
// listen too.
bool local_socket_answers(QByteArray const& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int const offset = abstract ? 1 : 0;
    if (path.size() + offset >= static_cast<int>(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path + offset, path.constData(), static_cast<size_t>(path.size()));
    auto const length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    return connects(AF_UNIX, reinterpret_cast<sockaddr const*>(&address), length);
}

bool tcp_port_answers(QByteArray const& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return false;
    bool answered = false;
    for (addrinfo* entry = found; entry && !answered; entry = entry->ai_next)
        answered = connects(entry->ai_family, entry->ai_addr, entry->ai_addrlen);
    ::freeaddrinfo(found);
    return answered;
}

// DISPLAY is [host]:number[.screen]: a local server listens on /tmp/.X11-unix/X<number>, a remote one
// (also an SSH forwarding, "localhost:10.0") on TCP port 6000 + number.
bool x_display_answers(QByteArray const& display) {
    int const colon = display.lastIndexOf(':');
    bool number_read = false;
    int const number = display.mid(colon + 1).split('.').first().toInt(&number_read);
    if (colon < 0 || !number_read || number < 0)
        return false;
    QByteArray const host = display.left(colon);
    if (host.isEmpty() || host == "unix") {
        QByteArray const path = "/tmp/.X11-unix/X" + QByteArray::number(number);
        return local_socket_answers(path, true) || local_socket_answers(path, false);
    }
    return tcp_port_answers(host, 6000 + number);
}

bool wayland_display_answers(QByteArray const& name) {
    QByteArray const path = name.startsWith('/') ? name : qgetenv("XDG_RUNTIME_DIR") + "/" + name;
    return local_socket_answers(path, false);
}

} // namespace

// Judged before the toolkit connects, which aborts the process when it cannot. QT_QPA_PLATFORM may name
// platforms to try in turn ("wayland;xcb"), each with options after a colon; one that needs no display
// server (offscreen, a framebuffer) is always there.
bool display_available() {
    auto const x_answers = [] {
        return !qEnvironmentVariableIsEmpty("DISPLAY") && x_display_answers(qgetenv("DISPLAY"));
    };
    auto const wayland_answers = [] {
        QByteArray const name = qgetenv("WAYLAND_DISPLAY");
        return wayland_display_answers(name.isEmpty() ? QByteArray("wayland-0") : name);
    };
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return x_answers() || (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && wayland_answers());
    for (QByteArray const& platform : qgetenv("QT_QPA_PLATFORM").split(';')) {
        QByteArray const name = platform.split(':').first().trimmed();
        if (name == "xcb" ? x_answers() : name.startsWith("wayland") ? wayland_answers() : true)
            return true;
    }
    return false;
}

namespace {

ToolkitRuntimeDir* runtime_dir_of_run = nullptr;

// As the toolkit names it: runtime-<user name> below the temporary path.
QByteArray toolkit_runtime_dir() {
    passwd const* const user = ::getpwuid(::geteuid());
    return QFile::encodeName(QDir::tempPath()) + "/runtime-" + QByteArray(user ? user->pw_name : "");
}

} // namespace

ToolkitRuntimeDir::ToolkitRuntimeDir() {
    struct stat status {};
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") &&
        ::lstat(toolkit_runtime_dir().constData(), &status) != 0 && errno == ENOENT)
        made = toolkit_runtime_dir();
    runtime_dir_of_run = this;
}

ToolkitRuntimeDir::~ToolkitRuntimeDir() {
    remove_if_made();
    runtime_dir_of_run = nullptr;
}

// Only while empty: nothing that another run or program put there is taken away.
void ToolkitRuntimeDir::remove_if_made() {
    if (!made.isEmpty())
        ::rmdir(made.constData());
    made.clear();
}

namespace {

// What the toolkit said while its platform started: held back, so that a platform that fails is told in the
// tool's words alone, and passed on once it has started.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
// The toolkit's event thread may speak while the main thread starts the platform.
std::mutex held_lock;
QList<HeldMessage> held_messages;

QList<HeldMessage> take_held_messages() {
    std::lock_guard<std::mutex> const lock(held_lock);
    QList<HeldMessage> taken;
    taken.swap(held_messages);
    return taken;
}

bool is_x_platform(QByteArray const& platform) {
    return platform.isEmpty() || platform.startsWith("xcb");
}

// A platform that aborts names the cause last before its fatal words, which are often only the toolkit's
// list of platforms; one that starts without a screen names the cause first. The note on the runtime
// directory, which every start without XDG_RUNTIME_DIR makes, is no cause.
QString failure_reason(QList<HeldMessage> const& held, QString const& last_words, bool aborted) {
    QStringList said;
    for (HeldMessage const& message : held) {
        if (message.type != QtDebugMsg && !message.text.startsWith("QStandardPaths:"))
            said << message.text.split('\n').first().trimmed();
    }
    if (said.isEmpty())
        return last_words.split('\n').first().trimmed();
    return aborted ? said.last() : said.first();
}

QString platform_failure_words(QString const& last_words, bool aborted) {
    load_texts();
    QList<HeldMessage> const held = take_held_messages();
    QByteArray const platform = qgetenv("QT_QPA_PLATFORM");
    bool const x_refused =
        is_x_platform(platform) && std::any_of(held.begin(), held.end(), [](HeldMessage const& message) {
            return message.text.startsWith("could not connect to display");
        });
    if (x_refused)
        return settings.gui.text("hint_displayRefused").arg(qEnvironmentVariable("DISPLAY"));
    return settings.gui.text("hint_platformFailed")
        .arg(platform.isEmpty() ? QString("xcb") : QString::fromLocal8Bit(platform),
             failure_reason(held, last_words, aborted));
}

void end_for_platform(QString const& last_words) {
    if (runtime_dir_of_run)
        runtime_dir_of_run->remove_if_made();
    std::fprintf(stderr, "%s\n", platform_failure_words(last_words, true).toUtf8().constData());
    std::fflush(stderr);
    ::_exit(Exit::cannot_start);
}

// The toolkit aborts the process after its fatal message; this ends it first, with the tool's words.
void hold_platform_message(QtMsgType type, QMessageLogContext const& context, QString const& text) {
    if (type == QtFatalMsg)
        end_for_platform(text);
    std::lock_guard<std::mutex> const lock(held_lock);
    held_messages.append({type, QByteArray(context.category), text});
}

void pass_on_held_messages() {
    for (HeldMessage const& message : take_held_messages()) {
        QMessageLogContext const context(nullptr, 0, nullptr, message.category.constData());
        qt_message_output(message.type, context, message.text);
    }
}

// libdbus finds the session bus in DBUS_SESSION_BUS_ADDRESS or at $XDG_RUNTIME_DIR/bus; without either it
// starts one for the X display (dbus-launch), which outlives the window and writes below $HOME/.dbus. A
// window over "ssh -X" has neither, and does without a bus.
void keep_session_bus_from_starting() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return;
    QByteArray const bus = qgetenv("XDG_RUNTIME_DIR") + "/bus";
    struct stat status {};
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") || ::stat(bus.constData(), &status) != 0 ||
        !S_ISSOCK(status.st_mode))
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
}

} // namespace

std::unique_ptr<QApplication> open_platform(int& argc, char** argv) {
    keep_session_bus_from_starting();
    QtMessageHandler const before = qInstallMessageHandler(hold_platform_message);
    auto app = std::make_unique<QApplication>(argc, argv);
    // A platform without a screen (a framebuffer that cannot be opened) would crash with the first window.
    bool const has_screen = QGuiApplication::primaryScreen() != nullptr;
    qInstallMessageHandler(before);
    if (!has_screen) {
        std::fprintf(stderr, "%s\n", platform_failure_words("no screen", false).toUtf8().constData());
        return nullptr;
    }
    pass_on_held_messages();
    return app;
}

void logWindowMessageHandler(QtMsgType type, QMessageLogContext const& context, QString const& text) {
    if (logWindow)
        logWindow->sendMessage(type, context, text);
}

namespace {

void create_log_window() {
    logWindow = new LogWindow();
    if (use_log_window)
        qInstallMessageHandler(logWindowMessageHandler);
    else
        logWindow->dialog->logView->setPlaceholderText(
            "The log is shown here when the tool is started with -l (--use-log-window).");
}

void create_main_window() {
    mainWindow = MainWindow_factory(&settings, nullptr, simulator::use);
    mainWindow->setWindowTitle("Zentova Firmware Upgrade Tool");
}

// The worker thread starts only once the flow machine has entered B1, inside the event loop.
void connect_and_start_engine() {
    add_connections(qobject_cast<QApplication*>(QCoreApplication::instance()));
    QObject::connect(sm_B, &QStateMachine::started, start_worker);
    sm_B->start();
}

} // namespace

StartupFailure GUI_init() {
    using namespace start_up;
    // 1. Command line, and no second instance on the same bus.
    if (StartupFailure const failure = take_command_line())
        return failure;
    // The whole settings file: start-up failures are told in its texts, and the window draws its circles.
    settings.gui = Settings::make_GUI(settings_file);
    if (StartupFailure const failure = make_private_dir())
        return failure;
    // Which dfu-util runs, the simulator's script or the system's, names the bus that the claim is on.
    if (StartupFailure const failure = set_up_dfu_util_location())
        return failure;
    if (StartupFailure const failure = claim_instance())
        return failure;
    // 2. Fonts.
    support::setup_fonts();
    // 3, 4. The log window, and with -l its routing, so that it holds every line from here on.
    create_log_window();
    // 5 to 7. Which dfu-util runs (chosen before the claim, whose bus it names), and this build.
    log_device_choice();
    log_build();
    // 8, 9. Unpacking; the system's dfu-util needs no execute bit.
    if (StartupFailure const failure = unpack_files())
        return failure;
    // 10. The dfu-util self-test; nothing has touched a unit yet.
    if (StartupFailure const failure = test_dfu_util())
        return failure;
    // 11, 12. The embedded firmware's information, and the settings with its product type and revision.
    set_desired_FW(read_desired_FW_Info());
    // 13, 14. The main window.
    create_main_window();
    // 15 to 19. Worker and flow machine, with their trace in every window run: the log window shows it.
    create_engine(true);
    // 20 to 22. Connections; the flow machine's start starts the worker thread once the event loop runs.
    connect_and_start_engine();
    // 23.
    mainWindow->show();
    return {};
}

// The windows are already out of sight while the engine stops and the objects wait to be deleted.
int GUI_cleanup(int result) {
    qInfo() << "app.exec() returns: " << result;
    if (mainWindow)
        mainWindow->hide();
    if (sm_B)
        sm_B->stop();
    if (sm_A)
        sm_A->do_stop();
    qInfo() << "Waiting 2 s before deleting objects";
    QThread::sleep(2);
    delete_engine();
    return result;
}
