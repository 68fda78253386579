#include "dfu/unit_lock.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace DFU {

namespace unit_lock {

namespace {

QString const prefix = QStringLiteral("zentova-updater:");
// sun_path less the leading NUL that makes a name abstract.
constexpr int longest_name = static_cast<int>(sizeof(sockaddr_un::sun_path)) - 1;

std::mutex mutex;
QString the_bus = QStringLiteral("usb");
// The names this process holds, with the socket bound to each.
std::map<QByteArray, int> held;

QByteArray name_of(QString const& kind, QString const& what) {
    QByteArray name = (prefix + kind + ":" + what).toUtf8();
    if (name.size() > longest_name)
        name = prefix.toUtf8() + QCryptographicHash::hash(name, QCryptographicHash::Sha256).toHex();
    return name;
}

QByteArray unit_name(QString const& serial) {
    return name_of("unit", the_bus + "/" + canonical_serial(serial));
}

QByteArray writing_name(QString const& serial) {
    return name_of("writing", the_bus + "/" + canonical_serial(serial));
}

// Binds a new socket to the name: its descriptor, -1 when another process holds the name (errno
// EADDRINUSE) or on another failure.
int bind_name(QByteArray const& name) {
    int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.constData(), static_cast<size_t>(name.size()));
    auto const length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0)
        return fd;
    int const error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

// Called with the mutex held.
Take take(QByteArray const& name) {
    if (held.count(name))
        return Take::taken;
    int const fd = bind_name(name);
    if (fd >= 0) {
        held[name] = fd;
        return Take::taken;
    }
    if (errno == EADDRINUSE)
        return Take::held;
    qWarning().noquote() << "Cannot take the name" << QString::fromUtf8(name)
                         << "that keeps other runs away:" << std::strerror(errno);
    return Take::failed;
}

void release(QByteArray const& name) {
    auto const found = held.find(name);
    if (found == held.end())
        return;
    ::close(found->second);
    held.erase(found);
}

// The emulator's own choice of its state directory, made canonical so that every spelling of one world
// names the same bus.
QString simulated_world() {
    QString world = qEnvironmentVariable("DFU_SIM_DIR");
    if (world.isEmpty()) {
        QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (base.isEmpty())
            base = qEnvironmentVariable("TMPDIR");
        if (base.isEmpty())
            base = QStringLiteral("/tmp");
        world = QString("%1/dfu-sim-%2").arg(base).arg(::getuid());
    }
    QString const canonical = QFileInfo(world).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QDir(world).absolutePath()) : canonical;
}

} // namespace

QString canonical_serial(QString const& serial) {
    return serial.trimmed().toUpper();
}

void set_bus(QString const& bus) {
    std::lock_guard<std::mutex> lock(mutex);
    the_bus = bus;
}

QString simulated_bus() {
    return "simulator:" + simulated_world();
}

Take take_bus() {
    std::lock_guard<std::mutex> lock(mutex);
    return take(name_of("bus", the_bus));
}

Take take_unit(QString const& serial) {
    std::lock_guard<std::mutex> lock(mutex);
    return take(unit_name(serial));
}

void release_unit(QString const& serial) {
    std::lock_guard<std::mutex> lock(mutex);
    release(unit_name(serial));
}

bool holds_unit(QString const& serial) {
    std::lock_guard<std::mutex> lock(mutex);
    return held.count(unit_name(serial)) > 0;
}

// The writing name is held only by a write child (and its run, while it waits for it). A probe that binds it
// lets it go at once.
Busy why_busy(QString const& serial) {
    QByteArray name;
    {
        std::lock_guard<std::mutex> lock(mutex);
        name = writing_name(serial);
    }
    int const probe = bind_name(name);
    if (probe >= 0) {
        ::close(probe);
        return Busy::in_use;
    }
    return errno == EADDRINUSE ? Busy::write_finishing : Busy::in_use;
}

std::vector<int> begin_write(QString const& serial) {
    std::lock_guard<std::mutex> lock(mutex);
    auto const unit = held.find(unit_name(serial));
    if (unit == held.end())
        return {};
    QByteArray const writing = writing_name(serial);
    // Another run's probe holds the name for a moment.
    Take taken = Take::held;
    for (int attempt = 0; attempt < 50 && taken == Take::held; ++attempt) {
        taken = take(writing);
        if (taken == Take::held)
            ::usleep(1000);
    }
    if (taken != Take::taken)
        return {unit->second};
    return {unit->second, held[writing]};
}

void end_write(QString const& serial) {
    std::lock_guard<std::mutex> lock(mutex);
    release(writing_name(serial));
}

} // namespace unit_lock

} // namespace DFU
