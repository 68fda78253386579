#pragma once

#include <QChar>
#include <QDebug>
#include <QString>
#include <utility>

namespace support_misc {

enum class Platform { Linux = 0, macOS = 1, windows = 2, unknown = 3 };

#ifdef DEBUG
constexpr bool compiled_w_DEBUG = true;
#else
constexpr bool compiled_w_DEBUG = false;
#endif

Platform compiled_for_platform();
bool compiled_for_platform(Platform platform);
QDebug operator<<(QDebug dbg, Platform platform);

// Diagnostic aid: logs every path below ":resources".
void show_resources();

void ensure_file_is_deleted(QString const& path);
// Adds execute permission for user, group and others, keeping every other bit.
bool mark_file_executable(QString const& path);

QString maybe_use_file_instead_of_resource(QString const& path);
// Throws QString("Couldn't open file: <path>") when the file cannot be opened; the text ends at a NUL byte.
QString load_text_file(QString const& path);
QString remove_carriage_returns(QString text, QChar c);

// Closes its descriptor when it goes out of scope.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    ~Descriptor();
    Descriptor(Descriptor const&) = delete;
    Descriptor& operator=(Descriptor const&) = delete;
    bool ok() const { return fd >= 0; }
    // Hands the descriptor over; it is no longer closed here.
    int release() { return std::exchange(fd, -1); }
};

} // namespace support_misc
