#include "app/instance.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace instance {

namespace {

QString lock_dir() {
    QString const runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QDir::tempPath() : runtime;
}

QString lock_path(QString const& name) {
    QString const safe = QString::fromLatin1(
        QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
    return QString("%1/zentova-updater-%2-%3.lock").arg(lock_dir()).arg(::getuid()).arg(safe);
}

// Kept open for the life of the process; not inherited by dfu-util.
bool hold(QString const& path, int operation) {
    int const fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        qWarning() << "Cannot open the instance lock" << path << "; going on without it";
        return true;
    }
    if (::flock(fd, operation | LOCK_NB) == 0)
        return true;
    ::close(fd);
    return false;
}

} // namespace

bool claim(QString const& bus, QString const& serial) {
    if (serial.isEmpty())
        return hold(lock_path(bus), LOCK_EX);
    return hold(lock_path(bus), LOCK_SH) && hold(lock_path(bus + "/" + serial), LOCK_EX);
}

QString bus_name(bool simulated) {
    if (!simulated)
        return "usb";
    QString const world = qEnvironmentVariable("DFU_SIM_DIR");
    return "simulator:" + (world.isEmpty() ? QString("default") : QDir(world).absolutePath());
}

} // namespace instance
