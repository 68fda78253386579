#include "files/files.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
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

QString const private_dir_prefix = "upgrade_";

// The process id in the name tells a later start whose directory it is.
QString private_dir_template() {
    return QDir::tempPath() + "/" + private_dir_prefix + QString::number(::getpid()) + "_XXXXXX";
}

// A copy counts only when the whole resource arrived: a full disk can leave a short file behind.
bool copy_whole(QString const& source, QString const& target) {
    return QFile::copy(source, target) && QFileInfo(target).size() == QFileInfo(source).size();
}

bool process_is_gone(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

QTemporaryDir external_dir(private_dir_template());

bool extract_resources(QList<ID> ids, bool strict) {
    if (!external_dir.isValid()) {
        qInfo() << "Failed to create temporary directory:" << external_dir.errorString();
        return false;
    }
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
    static QRegularExpression const own_name("^" + private_dir_prefix + "([0-9]+)_.{6}$");
    int removed = 0;
    QDir const temp(QDir::tempPath());
    for (QFileInfo const& entry :
         temp.entryInfoList({private_dir_prefix + "*"}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        QRegularExpressionMatch const match = own_name.match(entry.fileName());
        if (!match.hasMatch() || entry.isSymLink() || entry.ownerId() != ::getuid() ||
            !process_is_gone(match.captured(1).toLongLong()))
            continue;
        if (QDir(entry.filePath()).removeRecursively()) {
            qInfo() << "Removed the private directory of an instance that ended without cleaning up:"
                    << entry.filePath();
            ++removed;
        }
    }
    return removed;
}

} // namespace Files
