#include "files/files.h"

#include "files/support_misc.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QResource>
#include <QSet>
#include <QTextCodec>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Files {

QString const desired_FW_fileName_dfu = "firmware.dfu";
QString const desired_FW_fileName_bin = "firmware.bin";
QString const uploaded_FW_fileName_bin = "uploaded_FW.bin";
QString const uploaded_FW_info_fileName_bin = "uploaded_FW_info.bin";
QString const uploaded_OTP_fileName_bin = "uploaded_OTP.bin";
QString const dfu_util_executable_fileName = "dfu-util";

// Literals rather than the strings above: the order of initialisation across globals is not guaranteed.
QMap<ID, QString> const basename = {
    {ID::dfu_util, "dfu-util"},
    {ID::libusb, "libusb-1.0.0.dylib"},
    {ID::desired_FW_dfu, "firmware.dfu"},
    {ID::desired_FW_bin, "firmware.bin"},
    {ID::uploaded_FW_bin, "uploaded_FW.bin"},
    {ID::uploaded_FW_info_bin, "uploaded_FW_info.bin"},
    {ID::uploaded_OTP_bin, "uploaded_OTP.bin"},
};

namespace {

using support_misc::Descriptor;

// Only this tool puts a file of this name into a directory of this name; while the file is locked its owner
// lives (a lock ends with the process that held it, however it ended).
QString const private_dir_prefix = "upgrade_";
char const owner_file[] = "owner.lock";
// The owner file under the name it is made and locked with, before it is renamed: a directory is never seen
// with an owner file that nobody holds yet.
char const owner_file_unlocked[] = ".owner.new";
char const probe_file[] = ".room_probe";

QString error_text(int error_number) {
    return QString::fromLocal8Bit(std::strerror(error_number));
}

// A copy counts only when the whole resource arrived: a full disk can leave a short file behind. Written
// straight into a new file, without a temporary name or a flush to the disk: the file lives only as long as
// this process, and nobody reads it before it is whole.
bool copy_whole(QString const& source, QString const& target) {
    QResource const resource(source);
    if (!resource.isValid() || resource.data() == nullptr)
        return false;
    QByteArray const data = resource.uncompressedData();
    Descriptor file(::open(QFile::encodeName(target).constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444));
    if (!file.ok())
        return false;
    qint64 written = 0;
    while (written < data.size()) {
        ssize_t const chunk = ::write(file.fd, data.constData() + written, size_t(data.size() - written));
        if (chunk < 0 && errno == EINTR)
            continue;
        if (chunk <= 0)
            return false;
        written += chunk;
    }
    return true;
}

// The names in the directory open as `dir_fd`, without "." and "..".
QList<QByteArray> entries_of(int dir_fd) {
    QList<QByteArray> names;
    int const listing_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (listing_fd < 0)
        return names;
    DIR* const listing = ::fdopendir(listing_fd);
    if (!listing) {
        ::close(listing_fd);
        return names;
    }
    ::rewinddir(listing);
    while (dirent const* entry = ::readdir(listing)) {
        QByteArray const name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(listing);
    return names;
}

// "upgrade_" and the six letters or digits that mkdtemp puts in place of "XXXXXX".
bool is_private_dir_name(QByteArray const& name) {
    QByteArray const prefix = QFile::encodeName(private_dir_prefix);
    return name.size() == prefix.size() + 6 && name.startsWith(prefix) &&
           std::all_of(name.begin() + prefix.size(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
           });
}

bool is_own_file_name(QByteArray const& name) {
    static QSet<QByteArray> const own = [] {
        QSet<QByteArray> names{owner_file, owner_file_unlocked, probe_file};
        for (QString const& file : basename)
            names << QFile::encodeName(file);
        return names;
    }();
    return own.contains(name);
}

bool owned_by_this_user(struct stat const& status) {
    return status.st_uid == ::getuid();
}

// The owner file of the directory open as `dir_fd` exists, is this user's, and nobody holds it: returns it
// locked by this process, or -1.
int lock_abandoned_owner_file(int dir_fd) {
    Descriptor owner(::openat(dir_fd, owner_file, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!owner.ok() || ::fstat(owner.fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        !owned_by_this_user(status) || ::flock(owner.fd, LOCK_EX | LOCK_NB) != 0)
        return -1;
    return owner.release();
}

// Only regular files with the names this tool gives them: anything else may be the user's.
bool holds_only_own_files(int dir_fd, QList<QByteArray> const& names) {
    for (QByteArray const& name : names) {
        struct stat status {};
        if (!is_own_file_name(name) ||
            ::fstatat(dir_fd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode))
            return false;
    }
    return true;
}

// Every step is relative to descriptors opened without following links, so a directory or link swapped in
// meanwhile is never entered and nothing outside the inspected directory is touched.
bool remove_if_stale(int root_fd, QByteArray const& name) {
    Descriptor dir(::openat(root_fd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened {};
    // The tool makes it writable by its owner alone; one that others may write into may hold their files.
    if (!dir.ok() || ::fstat(dir.fd, &opened) != 0 || !owned_by_this_user(opened) ||
        (opened.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return false;
    Descriptor const owner(lock_abandoned_owner_file(dir.fd));
    if (!owner.ok())
        return false;
    QList<QByteArray> const names = entries_of(dir.fd);
    if (!holds_only_own_files(dir.fd, names)) {
        qInfo()
            << "Left a private directory of an ended instance alone: it holds files this tool does not make:"
            << name;
        return false;
    }
    for (QByteArray const& file : names)
        ::unlinkat(dir.fd, file.constData(), 0);
    // Removed by name only while the name still leads to the directory that was emptied.
    struct stat now {};
    if (::fstatat(root_fd, name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != opened.st_dev ||
        now.st_ino != opened.st_ino)
        return false;
    return ::unlinkat(root_fd, name.constData(), AT_REMOVEDIR) == 0;
}

} // namespace

PrivateDir external_dir;

QString temporary_root() {
    QString const configured = qEnvironmentVariable("TMPDIR");
    return QDir::cleanPath(configured.isEmpty() ? QStringLiteral("/tmp") : configured);
}

// By the bytes it was made with: this runs after the application object is gone, when file names may no
// longer be encoded as they were, and a non-ASCII path decoded and encoded again would miss the directory.
// It holds only files.
PrivateDir::~PrivateDir() {
    if (!made_name.isEmpty()) {
        Descriptor const dir(::open(made_name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.ok()) {
            for (QByteArray const& name : entries_of(dir.fd))
                ::unlinkat(dir.fd, name.constData(), 0);
        }
        ::rmdir(made_name.constData());
    }
    if (owner_fd >= 0)
        ::close(owner_fd);
}

bool PrivateDir::isValid() {
    return !path().isEmpty();
}

QString PrivateDir::path() {
    std::call_once(made, [this] { make(); });
    return made_path;
}

QString PrivateDir::errorString() {
    path();
    return error;
}

int PrivateDir::errorNumber() {
    path();
    return error_number;
}

void PrivateDir::make() {
    QString const root = temporary_root();
    // Never below the file system's root: a missing or empty TMPDIR must not lead there.
    if (root == "/") {
        error = "not a temporary directory";
        qInfo() << "Failed to create temporary directory:" << root << error;
        return;
    }
    // A name that the locale cannot decode would be encoded back as another, which does not exist.
    QByteArray const configured = qgetenv("TMPDIR");
    if (QFile::encodeName(QFile::decodeName(configured)) != configured) {
        error_number = EILSEQ;
        error = "its name is not valid " + QString::fromLatin1(QTextCodec::codecForLocale()->name());
        qInfo() << "Failed to create temporary directory:" << root << error;
        return;
    }
    QByteArray name = QFile::encodeName(root + "/" + private_dir_prefix + "XXXXXX");
    if (!::mkdtemp(name.data())) {
        error_number = errno;
        error = error_text(errno);
        qInfo() << "Failed to create temporary directory:" << root << error;
        return;
    }
    Descriptor dir(::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    Descriptor owner(dir.ok() ? ::openat(dir.fd, owner_file_unlocked,
                                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                              : -1);
    if (!owner.ok() || ::flock(owner.fd, LOCK_EX | LOCK_NB) != 0 ||
        ::renameat(dir.fd, owner_file_unlocked, dir.fd, owner_file) != 0) {
        error_number = errno;
        error = error_text(errno);
        qInfo() << "Failed to create temporary directory:" << root << error;
        QDir(QFile::decodeName(name)).removeRecursively();
        return;
    }
    owner_fd = owner.release();
    made_name = name;
    made_path = QFile::decodeName(name);
}

bool extract_resources(QList<ID> ids, bool strict) {
    if (!external_dir.isValid())
        return false;
    bool all_ok = true;
    for (ID id : ids) {
        QString const name = basename.value(id);
        QString const source = ":resources/" + name;
        QString const target = external_dir.path() + "/" + name;
        if (copy_whole(source, target)) {
            qDebug() << "Extracted " << name;
        } else {
            qInfo() << "Failed to extract " << name;
            all_ok = false;
        }
    }
    return strict ? all_ok : true;
}

int remove_stale_private_dirs() {
    QString const root = temporary_root();
    Descriptor root_dir(::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_dir.ok())
        return 0;
    QString const own = QFileInfo(external_dir.path()).fileName();
    int removed = 0;
    for (QByteArray const& name : entries_of(root_dir.fd)) {
        QString const text = QFile::decodeName(name);
        if (text == own || !is_private_dir_name(name) || !remove_if_stale(root_dir.fd, name))
            continue;
        qInfo() << "Removed the private directory of an instance that ended without cleaning up:"
                << root + "/" + text;
        ++removed;
    }
    return removed;
}

QString local_write_problem(QString const& path, qint64 size) {
    int const error = local_write_error(path, size);
    return error == 0 ? QString() : error_text(error);
}

int local_write_error(QString const& path, qint64 size) {
    QString const probe = QFileInfo(path).absolutePath() + "/" + probe_file;
    QByteArray const probe_name = QFile::encodeName(probe);
    Descriptor file(
        ::open(probe_name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.ok())
        return errno;
    int const error = ::posix_fallocate(file.fd, 0, std::max<qint64>(size, 1));
    ::unlink(probe_name.constData());
    return error;
}

} // namespace Files
