#include "dfu/unit_lock.h"

#include "dfu/simulator.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <map>
#include <mutex>
#include <pwd.h>
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

QByteArray hashed(QString const& text) {
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
}

// The restart names of one bus share this beginning, short enough never to be cut, so that a look at the
// kernel's table finds every run's.
QByteArray restart_prefix() {
    return (prefix + "restart:").toUtf8() + hashed(the_bus) + ":";
}

QByteArray restart_name(QString const& serial) {
    return restart_prefix() + hashed(canonical_serial(serial));
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

// The kernel's table of this network namespace's UNIX sockets, readable by every user: the inodes of the
// sockets bound to each abstract name that `wanted` accepts. Reading it takes no name, unlike a probe that
// binds one.
std::map<QByteArray, std::vector<quint64>> bound_sockets(std::function<bool(QByteArray const&)> const& wanted) {
    std::map<QByteArray, std::vector<quint64>> found;
    QFile table(QStringLiteral("/proc/net/unix"));
    if (!table.open(QIODevice::ReadOnly))
        return found;
    // "Num: RefCount Protocol Flags Type St Inode Path"; an abstract path is shown with '@' for its NUL.
    static QRegularExpression const entry("^\\S+:\\s+\\S+\\s+\\S+\\s+\\S+\\s+\\S+\\s+\\S+\\s+(\\d+) @(.*)$");
    for (QByteArray line = table.readLine(); !line.isEmpty(); line = table.readLine()) {
        if (line.endsWith('\n'))
            line.chop(1);
        QRegularExpressionMatch const match = entry.match(QString::fromLatin1(line));
        if (!match.hasMatch())
            continue;
        QByteArray const name = match.captured(2).toLatin1();
        if (wanted(name))
            found[name].push_back(match.captured(1).toULongLong());
    }
    return found;
}

std::map<QByteArray, std::vector<quint64>> bound_sockets(std::vector<QByteArray> const& names) {
    return bound_sockets(
        [&](QByteArray const& name) { return std::find(names.begin(), names.end(), name) != names.end(); });
}

// The processes with a descriptor of one of the sockets, among those whose descriptors this user may see.
std::vector<qint64> processes_holding(std::vector<quint64> const& inodes) {
    std::vector<QByteArray> links;
    for (quint64 const inode : inodes)
        links.push_back("socket:[" + QByteArray::number(inode) + "]");
    std::vector<qint64> holders;
    QDir const proc(QStringLiteral("/proc"));
    for (QString const& process : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        qint64 const pid = process.toLongLong(&numeric);
        if (!numeric || pid == ::getpid())
            continue;
        QDir const descriptors("/proc/" + process + "/fd");
        for (QString const& fd : descriptors.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            char target[64];
            ssize_t const length =
                ::readlink(QFile::encodeName(descriptors.filePath(fd)).constData(), target, sizeof target);
            QByteArray const link(target, length > 0 ? int(length) : 0);
            if (std::find(links.begin(), links.end(), link) != links.end()) {
                holders.push_back(pid);
                break;
            }
        }
    }
    return holders;
}

// The names the kernel gives this tool's two programs (the one a user starts, and its window program beside
// it, named with "-window"), cut to the 15 characters it keeps: "updater" in a build tree, the package's
// longer names alike.
QList<QByteArray> own_program_names() {
    QString base = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).fileName();
    if (base.endsWith("-window"))
        base.chop(int(qstrlen("-window")));
    constexpr int kept_by_kernel = 15;
    return {QFile::encodeName(base).left(kept_by_kernel),
            QFile::encodeName(base + "-window").left(kept_by_kernel)};
}

// A run of this tool (this very program, or another of its programs), or a dfu-util (or the simulator's
// stand-in) that one of its runs started.
bool is_this_tool(qint64 pid) {
    QString const program = QFile::symLinkTarget(QString("/proc/%1/exe").arg(pid));
    if (!program.isEmpty() && program == QFile::symLinkTarget(QStringLiteral("/proc/self/exe")))
        return true;
    QFile comm(QString("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return false;
    QByteArray const name = comm.readAll().trimmed();
    return own_program_names().contains(name) || name.startsWith("dfu-util");
}

// The user that created a socket, as the kernel's socket diagnostics tell every user (unlike the
// descriptors of another user's processes): -1 when not told.
qint64 socket_owner(quint64 inode) {
    int const fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return -1;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query = {};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_states = ~0U;
    query.request.udiag_ino = static_cast<__u32>(inode);
    query.request.udiag_show = UDIAG_SHOW_UID;
    query.request.udiag_cookie[0] = query.request.udiag_cookie[1] = ~0U; // no cookie to match
    sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) char answer[1024];
    ssize_t received = -1;
    if (::sendto(fd, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        ssize_t(sizeof query))
        received = ::recv(fd, answer, sizeof answer, 0);
    ::close(fd);
    // One message: the header, the socket's description, then its attributes, each aligned to 4 bytes.
    nlmsghdr header;
    size_t const described = NLMSG_LENGTH(sizeof(unix_diag_msg));
    if (received < ssize_t(described))
        return -1;
    std::memcpy(&header, answer, sizeof header);
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || header.nlmsg_len > size_t(received))
        return -1;
    for (size_t at = described; at + sizeof(nlattr) <= header.nlmsg_len;) {
        nlattr attribute;
        std::memcpy(&attribute, answer + at, sizeof attribute);
        if (attribute.nla_len < sizeof attribute || at + attribute.nla_len > header.nlmsg_len)
            break;
        if (attribute.nla_type == UNIX_DIAG_UID && attribute.nla_len >= sizeof attribute + sizeof(uid_t)) {
            uid_t uid;
            std::memcpy(&uid, answer + at + sizeof attribute, sizeof uid);
            return uid;
        }
        at += NLA_ALIGN(attribute.nla_len);
    }
    return -1;
}

// The user a process runs as (its effective user ID), which /proc shows every user; -1 when not shown.
qint64 process_owner(qint64 pid) {
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        // "Uid:" real, effective, saved and file system user IDs
        if (line.startsWith("Uid:")) {
            QList<QByteArray> const ids = line.mid(4).simplified().split(' ');
            bool valid = false;
            qint64 const uid = ids.value(1).toLongLong(&valid);
            return valid ? uid : -1;
        }
    }
    return -1;
}

// Another user's processes that are this tool, by the names the kernel keeps of their programs (their
// descriptors and programs are not shown to this user).
std::vector<qint64> tool_processes_of(qint64 uid) {
    std::vector<qint64> found;
    for (QString const& process :
         QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        qint64 const pid = process.toLongLong(&numeric);
        if (numeric && pid != ::getpid() && process_owner(pid) == uid && is_this_tool(pid))
            found.push_back(pid);
    }
    return found;
}

// A name held by this tool, as far as the system shows: true when none of its holders is shown.
bool held_by_this_tool(std::vector<qint64> const& holders) {
    return holders.empty() || std::any_of(holders.begin(), holders.end(), is_this_tool);
}

// The holder of a name none of whose holders this user may see: the socket's owner, and whether that user
// runs this tool.
Holder unseen_holder(std::vector<quint64> const& inodes, Busy tool_busy) {
    qint64 const uid = inodes.empty() ? -1 : socket_owner(inodes.front());
    bool const other_user = uid >= 0 && uid != qint64(::geteuid());
    std::vector<qint64> const tools = other_user ? tool_processes_of(uid) : std::vector<qint64>();
    if (tools.empty())
        return {tool_busy == Busy::write_finishing ? tool_busy : Busy::other_process, 0, uid};
    return {tool_busy, tools.size() == 1 ? tools.front() : 0, uid};
}

// Who holds the name, and whether a write runs (the writing name is held too, by this tool). A holder that
// the system does not show cannot be judged: a write is then still assumed, so that nobody is told to
// disconnect a unit being written.
Holder holder_of(QByteArray const& name, QByteArray const& writing) {
    std::map<QByteArray, std::vector<quint64>> bound = bound_sockets({name, writing});
    bool const write_runs = !writing.isEmpty() && bound.count(writing) > 0 &&
                            held_by_this_tool(processes_holding(bound[writing]));
    Busy const tool_busy = write_runs ? Busy::write_finishing : Busy::in_use;
    if (bound.count(name) == 0) // let go since it was asked for, or the table cannot be read
        return {tool_busy, 0};
    std::vector<qint64> const holders = processes_holding(bound[name]);
    if (holders.empty())
        return unseen_holder(bound[name], tool_busy);
    auto const tool = std::find_if(holders.begin(), holders.end(), is_this_tool);
    qint64 const pid = tool != holders.end() ? *tool : holders.front();
    qint64 const owner = socket_owner(bound[name].front());
    return {tool != holders.end() ? tool_busy : Busy::other_process, pid,
            owner >= 0 ? owner : process_owner(pid)};
}

// The emulator's own choice of its state directory, made canonical so that every spelling of one world
// names the same bus.
QString simulated_world() {
    QString world = qEnvironmentVariable("DFU_SIM_DIR");
    if (world.isEmpty())
        world = simulator::default_world();
    QString const canonical = QFileInfo(world).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QDir(world).absolutePath()) : canonical;
}

} // namespace

bool Holder::other_user() const {
    return uid >= 0 && uid != qint64(::geteuid());
}

QString Holder::user_name() const {
    if (uid < 0)
        return QString();
    passwd entry{};
    passwd* user = nullptr;
    char text[1024];
    ::getpwuid_r(static_cast<uid_t>(uid), &entry, text, sizeof text, &user);
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(uid);
}

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

Holder why_busy(QString const& serial) {
    QByteArray unit;
    QByteArray writing;
    {
        std::lock_guard<std::mutex> lock(mutex);
        unit = unit_name(serial);
        writing = writing_name(serial);
    }
    return holder_of(unit, writing);
}

Holder why_bus_busy() {
    QByteArray bus;
    {
        std::lock_guard<std::mutex> lock(mutex);
        bus = name_of("bus", the_bus);
    }
    return holder_of(bus, QByteArray());
}

std::vector<int> begin_write(QString const& serial) {
    std::lock_guard<std::mutex> lock(mutex);
    auto const unit = held.find(unit_name(serial));
    if (unit == held.end())
        return {};
    std::vector<int> inherited{unit->second};
    for (QByteArray const& name : {writing_name(serial), restart_name(serial)})
        if (take(name) == Take::taken)
            inherited.push_back(held[name]);
    return inherited;
}

void end_write(QString const& serial) {
    std::lock_guard<std::mutex> lock(mutex);
    release(writing_name(serial));
}

void end_restart(QString const& serial) {
    std::lock_guard<std::mutex> lock(mutex);
    release(restart_name(serial));
}

bool restart_elsewhere() {
    QByteArray own_prefix;
    std::vector<QByteArray> own;
    {
        std::lock_guard<std::mutex> lock(mutex);
        own_prefix = restart_prefix();
        for (auto const& [name, fd] : held)
            own.push_back(name);
    }
    return !bound_sockets([&](QByteArray const& name) {
                return name.startsWith(own_prefix) && std::find(own.begin(), own.end(), name) == own.end();
            }).empty();
}

} // namespace unit_lock

} // namespace DFU
