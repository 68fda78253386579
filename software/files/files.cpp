#include "files/files.h"

#include <QDebug>
#include <QDir>
#include <QFile>

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

QTemporaryDir external_dir(QDir::tempPath() + "/upgrade_XXXXXX");

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
        if (QFile::copy(source, target)) {
            qDebug() << "Extracted " << name;
        } else {
            qInfo() << "Failed to extract " << name;
            all_ok = false;
        }
    }
    return strict ? all_ok : true;
}

} // namespace Files
