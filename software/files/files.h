#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>

namespace Files {

// The files that live in the private temporary directory: copied from the resources or written by dfu-util.
enum class ID : int32_t {
    dfu_util = 0,
    libusb = 1,
    desired_FW_dfu = 2,
    desired_FW_bin = 3,
    uploaded_FW_bin = 4,
    uploaded_FW_info_bin = 5,
    uploaded_OTP_bin = 6,
};

extern QMap<ID, QString> const basename;

extern QString const desired_FW_fileName_dfu;
extern QString const desired_FW_fileName_bin;
extern QString const uploaded_FW_fileName_bin;
extern QString const uploaded_FW_info_fileName_bin;
extern QString const uploaded_OTP_fileName_bin;
extern QString const dfu_util_executable_fileName;

// Private to this process and removed with its contents at exit. Its name carries the process id.
extern QTemporaryDir external_dir;

// Copies ":resources/<name>" of each id into external_dir; an existing target, or a copy that did not arrive
// whole, makes that copy fail.
bool extract_resources(QList<ID> ids, bool strict);

// Removes the private directories that killed instances of this tool left behind: only this tool's name
// pattern, only this user's, only those whose process is gone. Returns how many.
int remove_stale_private_dirs();

} // namespace Files
