#include "files/support_misc.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

namespace support_misc {

Platform compiled_for_platform() {
#if defined(Q_OS_LINUX)
    return Platform::Linux;
#elif defined(Q_OS_MACOS)
    return Platform::macOS;
#elif defined(Q_OS_WIN)
    return Platform::windows;
#else
    return Platform::unknown;
#endif
}

bool compiled_for_platform(Platform platform) {
    return platform == compiled_for_platform();
}

static QString platform_name(Platform platform) {
    switch (platform) {
    case Platform::Linux:
        return "Linux";
    case Platform::macOS:
        return "macOS";
    case Platform::windows:
        return "windows";
    case Platform::unknown:
        return "unknown";
    }
    return QString();
}

QDebug operator<<(QDebug dbg, Platform platform) {
    QDebugStateSaver saver(dbg);
    dbg.noquote() << platform_name(platform);
    return dbg;
}

void show_resources() {
    QDirIterator it(":resources", QDirIterator::Subdirectories);
    while (it.hasNext())
        qDebug() << it.next();
}

void ensure_file_is_deleted(QString const& path) {
    if (QFileInfo(path).isFile())
        QFile::remove(path);
}

bool mark_file_executable(QString const& path) {
    if (!QFile::exists(path)) {
        qWarning() << "Failed to mark file (doesn't exist) as executable:" << path;
        return false;
    }
    qDebug() << "Changing file permissions to make it executable:" << path;
    return QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeUser |
                                           QFileDevice::ExeGroup | QFileDevice::ExeOther);
}

QString maybe_use_file_instead_of_resource(QString const& path) {
    return path;
}

QString load_text_file(QString const& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw QString("Couldn't open file: %1").arg(path);
    QByteArray bytes = file.readAll();
    int const nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromUtf8(bytes);
}

QString remove_carriage_returns(QString text, QChar c) {
    return text.remove(c, Qt::CaseSensitive);
}

Descriptor::~Descriptor() {
    if (fd >= 0)
        ::close(fd);
}

} // namespace support_misc
