#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <cstdint>
#include <mutex>

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

// The private directory of this process, "upgrade_XXXXXX" below the system's temporary path, removed with
// its contents at exit. Made on first use, which start-up puts after the command line is judged, so that a
// run that cannot start leaves nothing behind. A file inside, locked while its owner lives, tells a later
// start that a directory left behind is this tool's and that its owner is gone.
class PrivateDir {
public:
    PrivateDir() = default;
    ~PrivateDir();
    PrivateDir(PrivateDir const&) = delete;
    PrivateDir& operator=(PrivateDir const&) = delete;

    bool isValid();
    // Empty while the directory could not be made.
    QString path();
    // The directory that was tried and why it could not be made.
    QString errorString();
    // The errno of that failure; EILSEQ when the temporary path's name is not valid in the locale.
    int errorNumber();

private:
    void make();

    std::once_flag made;
    QString made_path;
    QByteArray made_name; // as made, for the removal
    QString error;
    int error_number = 0;
    int owner_fd = -1;
};

extern PrivateDir external_dir;

// The system's temporary path as the environment names it (TMPDIR, else /tmp), whether or not it exists.
QString temporary_root();

// Copies ":resources/<name>" of each id into external_dir; an existing target, or a copy that did not arrive
// whole, makes that copy fail.
bool extract_resources(QList<ID> ids, bool strict);

// Removes the private directories that killed instances of this tool left behind: only directories of this
// user that hold this tool's owner file, unlocked (its owner is gone), and nothing but this tool's files.
// Never follows a symbolic link and never leaves the temporary directory. Returns how many.
int remove_stale_private_dirs();

// Why `size` bytes cannot be written at `path` (no space, no permission, ...); empty when they can. Probed
// with a file of its own beside `path`, which is removed again.
QString local_write_problem(QString const& path, qint64 size);
// The same as an errno, 0 when they can.
int local_write_error(QString const& path, qint64 size);

} // namespace Files
