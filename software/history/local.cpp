#include "history/local.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QStringList>
#include <QVariant>
#include <QVector>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace History {

namespace {

QString const package_dir = QStringLiteral("zentova-firmware-upgrade");
// Long enough for four station runs storing at once, short enough that a stuck writer does not hold a run.
constexpr int busy_timeout_ms = 5000;

// SQLite's primary result codes for a file that is not, or no longer, a sound database.
constexpr int sqlite_corrupt = 11;
constexpr int sqlite_not_a_database = 26;

QStringList const schema = {
    "CREATE TABLE IF NOT EXISTS records ("
    "id TEXT PRIMARY KEY, started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL, host TEXT, tool_version TEXT, "
    "dfu_util_release TEXT, serial TEXT, usb_path TEXT, product TEXT, firmware_before TEXT, "
    "firmware_after TEXT, image_revision TEXT, image_sha256 TEXT, outcome TEXT NOT NULL, "
    "exit_code INTEGER NOT NULL, dfu_util_message TEXT, finished_after_run INTEGER NOT NULL DEFAULT 0, "
    "plant_sent INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX IF NOT EXISTS records_by_serial ON records (serial, started_utc)",
    "CREATE INDEX IF NOT EXISTS records_by_start ON records (started_utc)",
    "CREATE INDEX IF NOT EXISTS records_unsent ON records (plant_sent) WHERE plant_sent = 0",
    "CREATE TABLE IF NOT EXISTS writes_under_way ("
    "id TEXT PRIMARY KEY, started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL, host TEXT, tool_version TEXT, "
    "dfu_util_release TEXT, serial TEXT, usb_path TEXT, product TEXT, firmware_before TEXT, "
    "firmware_after TEXT, image_revision TEXT, image_sha256 TEXT, outcome TEXT NOT NULL, "
    "exit_code INTEGER NOT NULL, dfu_util_message TEXT, finished_after_run INTEGER NOT NULL DEFAULT 0, "
    "owner TEXT NOT NULL)",
};

QString errno_text() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Each missing directory of the path made 0700, as the base directory rules ask; the file 0600.
QString make_private_file(QString const& path) {
    QString made;
    for (QString const& part : QFileInfo(path).absolutePath().split('/', Qt::SkipEmptyParts)) {
        made += "/" + part;
        if (::mkdir(QFile::encodeName(made).constData(), 0700) != 0 && errno != EEXIST)
            return made + ": " + errno_text();
    }
    int const fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return path + ": " + errno_text();
    ::close(fd);
    return {};
}

QString error_text(QSqlError const& error) {
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

bool damaged(QSqlError const& error) {
    int const code = error.nativeErrorCode().toInt() & 0xff;
    return code == sqlite_corrupt || code == sqlite_not_a_database;
}

// The failing statement's error, or none.
QSqlError run_schema(QSqlDatabase const& database) {
    QSqlQuery query(database);
    if (!query.exec("PRAGMA journal_mode=WAL"))
        return query.lastError();
    for (QString const& statement : schema)
        if (!query.exec(statement))
            return query.lastError();
    return {};
}

// Renames the damaged file, unless another run did so already and the path holds a new history by now: the
// rename happens under a lock on the directory, and only to the file that was found damaged.
QString set_aside(QString const& path, ino_t damaged_inode) {
    QString const dir = QFileInfo(path).absolutePath();
    int const dir_fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return {};
    ::flock(dir_fd, LOCK_EX);
    QString new_name;
    struct stat now = {};
    if (::stat(QFile::encodeName(path).constData(), &now) == 0 && now.st_ino == damaged_inode) {
        new_name = path + ".damaged-" + QDateTime::currentDateTimeUtc().toString("yyyyMMdd'T'HHmmss.zzz'Z'");
        if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(new_name).constData()) == 0) {
            QFile::rename(path + "-wal", new_name + "-wal");
            QFile::remove(path + "-shm");
        } else {
            new_name.clear();
        }
    }
    ::flock(dir_fd, LOCK_UN);
    ::close(dir_fd);
    return new_name;
}

ino_t inode_of(QString const& path) {
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : 0;
}

// One attempt; `error` is the database's error when there was one.
Local try_open(QString const& path, QString const& connection, QSqlError* error) {
    Local local;
    if (QString const problem = make_private_file(path); !problem.isEmpty()) {
        local.problem = problem;
        return local;
    }
    if (QSqlDatabase::contains(connection))
        QSqlDatabase::removeDatabase(connection);
    local.database = QSqlDatabase::addDatabase("QSQLITE", connection);
    if (!local.database.isValid()) {
        local.problem = "Qt's SQLite driver is not installed (package libqt5sql5-sqlite)";
        return local;
    }
    local.database.setDatabaseName(path);
    local.file = inode_of(path);
    local.database.setConnectOptions("QSQLITE_BUSY_TIMEOUT=" + QString::number(busy_timeout_ms));
    *error = local.database.open() ? run_schema(local.database) : local.database.lastError();
    if (error->isValid())
        local.problem = path + ": " + error_text(*error);
    return local;
}

// Whether the process that noted a write still lives: the same boot, and a process of that ID started at
// the same moment.
QString boot_id() {
    QFile file("/proc/sys/kernel/random/boot_id");
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().trimmed()) : QString();
}

QString start_ticks(qint64 pid) {
    QFile file(QString("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray const stat = file.readAll();
    // The fields after the program's name, which may itself hold spaces and parentheses: the 22nd of the
    // line, the start time, is the 20th of them.
    QList<QByteArray> const fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 19 ? QString::fromLatin1(fields[19]) : QString();
}

QString this_process() {
    qint64 const pid = ::getpid();
    return QString("%1 %2 %3").arg(boot_id()).arg(pid).arg(start_ticks(pid));
}

bool alive(QString const& owner) {
    QStringList const parts = owner.split(' ');
    return parts.size() == 3 && parts[0] == boot_id() && !parts[2].isEmpty() &&
           start_ticks(parts[1].toLongLong()) == parts[2];
}

QString placeholders(int count) {
    QStringList marks;
    for (int i = 0; i < count; ++i)
        marks << "?";
    return marks.join(", ");
}

QVariant text_or_null(QString const& text) {
    return text.isNull() ? QVariant(QVariant::String) : QVariant(text);
}

void bind(QSqlQuery* query, Record const& record) {
    for (QVariant const& value :
         {QVariant(record.id), QVariant(utc_text(record.started_utc)), QVariant(utc_text(record.ended_utc)),
          text_or_null(record.host), text_or_null(record.tool_version), text_or_null(record.dfu_util_release),
          text_or_null(record.serial), text_or_null(record.usb_path), text_or_null(record.product),
          text_or_null(record.firmware_before), text_or_null(record.firmware_after),
          text_or_null(record.image_revision), text_or_null(record.image_sha256), QVariant(record.outcome),
          QVariant(record.exit_code), text_or_null(record.dfu_util_message),
          QVariant(record.finished_after_run ? 1 : 0)})
        query->addBindValue(value);
}

bool insert(QSqlQuery* query, QString const& table, Record const& record, QString const& owner = {}) {
    int const columns = int(std::size(record_columns));
    QString const extra = owner.isNull() ? QString() : QStringLiteral(", owner");
    query->prepare(QString("INSERT OR REPLACE INTO %1 (%2%3) VALUES (%4)")
                       .arg(table, column_list(), extra, placeholders(columns + (owner.isNull() ? 0 : 1))));
    bind(query, record);
    if (!owner.isNull())
        query->addBindValue(owner);
    return query->exec();
}

bool drop_note(QSqlQuery* query, QString const& id) {
    query->prepare("DELETE FROM writes_under_way WHERE id = ?");
    query->addBindValue(id);
    return query->exec();
}

// The writes noted for the serial by runs that died before storing their record, as records of their own.
bool store_left_writes(QSqlQuery* query, Record const& record, FirstRead const& first_read) {
    query->prepare(
        QString("SELECT %1, owner FROM writes_under_way WHERE serial = ? AND id <> ?").arg(column_list()));
    query->addBindValue(record.serial);
    query->addBindValue(record.id);
    if (!query->exec())
        return false;
    QVector<Record> left;
    while (query->next())
        if (!alive(query->value(int(std::size(record_columns))).toString()))
            left << record_of(*query);
    for (Record finished : left) {
        finished.ended_utc = first_read.time;
        finished.firmware_after = first_read.firmware;
        finished.outcome = first_read.outcome;
        finished.exit_code = first_read.exit_code;
        finished.finished_after_run = true;
        if (!insert(query, "records", finished) || !drop_note(query, finished.id))
            return false;
    }
    return true;
}

// One transaction that takes the write lock at once, so that the busy timeout covers it.
bool in_transaction(QSqlDatabase const& database, std::function<bool(QSqlQuery*)> const& work,
                    QSqlError* error) {
    QSqlQuery query(database);
    if (!query.exec("BEGIN IMMEDIATE")) {
        *error = query.lastError();
        return false;
    }
    if (work(&query) && query.exec("COMMIT"))
        return true;
    *error = query.lastError();
    query.exec("ROLLBACK");
    return false;
}

// A damaged file found while writing is set aside and the work done once more in a new one.
bool write(Local* local, std::function<bool(QSqlQuery*)> const& work, QString* problem) {
    if (!*local) {
        *problem = local->problem;
        return false;
    }
    QSqlError error;
    if (in_transaction(local->database, work, &error))
        return true;
    if (damaged(error)) {
        QString const path = local->database.databaseName();
        QString const connection = local->database.connectionName();
        ino_t const inode = local->file;
        close_local(local);
        QString const new_name = set_aside(path, inode);
        *local = open_local(path, connection);
        if (local->set_aside.isEmpty())
            local->set_aside = new_name;
        if (*local && in_transaction(local->database, work, &error))
            return true;
    }
    *problem = *local ? local->database.databaseName() + ": " + error_text(error) : local->problem;
    return false;
}

} // namespace

QString local_path() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state))
        state = QDir::homePath() + "/.local/state";
    return state + "/" + package_dir + "/history.sqlite";
}

Local open_local(QString const& path, QString const& connection) {
    QSqlError error;
    Local local = try_open(path, connection, &error);
    if (local || !damaged(error))
        return local;
    ino_t const inode = local.file;
    close_local(&local);
    QString const new_name = set_aside(path, inode);
    local = try_open(path, connection, &error);
    local.set_aside = new_name;
    return local;
}

void close_local(Local* local) {
    QString const connection = local->database.connectionName();
    local->database.close();
    local->database = QSqlDatabase();
    if (!connection.isEmpty())
        QSqlDatabase::removeDatabase(connection);
}

// The toolkit's own ISO forms: parsing a custom format costs it a hundred times more, which a history of
// many records would feel.
QString utc_text(QDateTime const& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime utc_time(QString const& text) {
    return QDateTime::fromString(text, Qt::ISODateWithMs).toUTC();
}

QString column_list() {
    QStringList columns;
    for (char const* column : record_columns)
        columns << QString::fromLatin1(column);
    return columns.join(", ");
}

// By position: a lookup by name makes the driver describe the whole row again for every value.
Record record_of(QSqlQuery const& query) {
    auto const text = [&query](int column) { return query.value(column).toString(); };
    Record record;
    record.id = text(0);
    record.started_utc = utc_time(text(1));
    record.ended_utc = utc_time(text(2));
    record.host = text(3);
    record.tool_version = text(4);
    record.dfu_util_release = text(5);
    record.serial = text(6);
    record.usb_path = text(7);
    record.product = text(8);
    record.firmware_before = text(9);
    record.firmware_after = text(10);
    record.image_revision = text(11);
    record.image_sha256 = text(12);
    record.outcome = text(13);
    record.exit_code = query.value(14).toInt();
    record.dfu_util_message = text(15);
    record.finished_after_run = query.value(16).toInt() != 0;
    return record;
}

bool store(Local* local, Record const& record, FirstRead const& first_read, QString* problem) {
    return write(
        local,
        [&](QSqlQuery* query) {
            return (record.serial.isEmpty() || store_left_writes(query, record, first_read)) &&
                   insert(query, "records", record) && drop_note(query, record.id);
        },
        problem);
}

bool note_write(Local* local, Record const& draft, QString* problem) {
    return write(
        local, [&](QSqlQuery* query) { return insert(query, "writes_under_way", draft, this_process()); },
        problem);
}

} // namespace History
