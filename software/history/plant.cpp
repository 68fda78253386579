#include "history/plant.h"

#include "history/local.h"
#include "history/record.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariantList>
#include <atomic>
#include <iterator>
#include <optional>

namespace History {

namespace {

// Rows per statement, and how long a run may go on sending a backlog before it leaves the rest to the next.
constexpr int batch_rows = 200;
constexpr int backlog_ms = 3000;

QString repeated(QString const& text, int times) {
    QStringList copies;
    for (int i = 0; i < times; ++i)
        copies << text;
    return copies.join(", ");
}

QString plant_type(QString const& column) {
    if (column == "id")
        return "text PRIMARY KEY";
    if (column.endsWith("_utc"))
        return "timestamptz";
    if (column == "exit_code")
        return "integer";
    if (column == "finished_after_run")
        return "boolean";
    return "text";
}

QString create_table() {
    QStringList definitions;
    for (char const* column : record_columns)
        definitions << QString(column) + " " + plant_type(column);
    return "CREATE TABLE IF NOT EXISTS records (" + definitions.join(", ") + ")";
}

// The reason in the server's or the client library's words, its first line: the rest is advice for psql.
QString reason(QSqlError const& error) {
    QString const text = error.databaseText().trimmed().isEmpty() ? error.driverText() : error.databaseText();
    QString const line = text.trimmed().section('\n', 0, 0).trimmed();
    return line.isEmpty() ? QString("the server gave no reason") : line;
}

std::optional<QString> run(QSqlDatabase db, QString const& statement) {
    QSqlQuery query(db);
    if (query.exec(statement))
        return std::nullopt;
    return reason(query.lastError());
}

int count_pending(QSqlDatabase local) {
    QSqlQuery query("SELECT count(*) FROM records WHERE plant_sent = 0", local);
    return query.next() ? query.value(0).toInt() : 0;
}

// The oldest records not yet sent, their values in the order of record_columns.
std::optional<QList<QVariantList>> pending_rows(QSqlDatabase local, QString* error) {
    QSqlQuery query(local);
    query.setForwardOnly(true);
    if (!query.exec("SELECT " + column_list() + " FROM records WHERE plant_sent = 0 ORDER BY rowid LIMIT " +
                    QString::number(batch_rows))) {
        *error = "the local history cannot be read: " + reason(query.lastError());
        return std::nullopt;
    }
    QList<QVariantList> rows;
    int const flag = std::size(record_columns) - 1; // finished_after_run, 0 or 1 locally
    while (query.next()) {
        QVariantList values;
        for (int i = 0; i < flag; ++i)
            values << query.value(i);
        // A boolean as the server reads one: the toolkit would write 1, which the server refuses there.
        values << QVariant(query.value(flag).toInt() != 0 ? "true" : "false");
        rows << values;
    }
    return rows;
}

// Stations that meet a new database at once make its table one after the other.
std::optional<QString> ensure_table(QSqlDatabase plant) {
    QSqlQuery exists("SELECT to_regclass('records') IS NOT NULL", plant);
    if (exists.next() && exists.value(0).toBool())
        return std::nullopt;
    if (!plant.transaction())
        return reason(plant.lastError());
    for (QString const& statement :
         {QString("SELECT pg_advisory_xact_lock(hashtext('history records'))"), create_table(),
          QString("CREATE INDEX IF NOT EXISTS records_serial ON records (serial, "
                  "started_utc)")}) {
        if (std::optional<QString> const error = run(plant, statement)) {
            plant.rollback();
            return "the table records cannot be made: " + *error;
        }
    }
    return plant.commit() ? std::nullopt : std::optional<QString>(reason(plant.lastError()));
}

// One statement for the batch: the server takes all of it or none. A record it already holds (sent by a
// run that ended before marking it here) is left as it is.
std::optional<QString> insert(QSqlDatabase plant, QList<QVariantList> const& rows) {
    QString const one_row = "(" + repeated("?", std::size(record_columns)) + ")";
    QSqlQuery query(plant);
    // A prepare that failed (the server gone since the connection) is forgotten by the exec that follows.
    if (!query.prepare("INSERT INTO records (" + column_list() + ") VALUES " + repeated(one_row, rows.size()) +
                       " ON CONFLICT (id) DO NOTHING"))
        return reason(query.lastError());
    for (QVariantList const& row : rows)
        for (QVariant const& value : row)
            query.addBindValue(value);
    if (query.exec())
        return std::nullopt;
    return reason(query.lastError());
}

// One transaction that takes the write lock at once, so that the busy timeout covers the wait for the
// writes of the station's other runs.
std::optional<QString> mark_sent(QSqlDatabase local, QList<QVariantList> const& rows) {
    QSqlQuery query(local);
    bool marked =
        query.exec("BEGIN IMMEDIATE") && query.prepare("UPDATE records SET plant_sent = 1 WHERE id = ?");
    for (int i = 0; marked && i < rows.size(); ++i) {
        query.addBindValue(rows[i].first());
        marked = query.exec();
    }
    if (marked && query.exec("COMMIT"))
        return std::nullopt;
    QString const error = reason(query.lastError());
    QSqlQuery(local).exec("ROLLBACK");
    return "the records went, but the local history cannot mark them sent: " + error;
}

void open(QSqlDatabase* plant, PlantDatabase const& settings) {
    QStringList options;
    for (auto setting = settings.settings.begin(); setting != settings.settings.end(); ++setting) {
        if (QStringList{"host", "user", "password", "dbname"}.contains(setting.key()))
            continue;
        QString value = setting.value();
        options << setting.key() + "='" + value.replace('\\', "\\\\").replace('\'', "\\'") + "'";
    }
    plant->setHostName(settings.settings.value("host"));
    plant->setUserName(settings.settings.value("user"));
    plant->setPassword(settings.settings.value("password"));
    plant->setDatabaseName(settings.settings.value("dbname"));
    plant->setConnectOptions(options.join(';'));
    plant->open();
}

// Sends batches while the backlog lasts and the run's share of time does; the sent count so far when a
// batch fails.
Sending send_batches(QSqlDatabase local, QSqlDatabase plant, QList<QVariantList> rows) {
    Sending sending;
    QElapsedTimer elapsed;
    elapsed.start();
    while (!rows.isEmpty()) {
        if (std::optional<QString> const error = insert(plant, rows)) {
            sending.error = *error;
            return sending;
        }
        if (std::optional<QString> const error = mark_sent(local, rows)) {
            sending.error = *error;
            return sending;
        }
        sending.sent += rows.size();
        if (rows.size() < batch_rows || elapsed.elapsed() > backlog_ms)
            return sending;
        std::optional<QList<QVariantList>> const next = pending_rows(local, &sending.error);
        if (!next)
            return sending;
        rows = *next;
    }
    return sending;
}

QString connection_name() {
    static std::atomic<int> count{0};
    return "history-plant-" + QString::number(++count);
}

Sending send_to(QSqlDatabase local, PlantDatabase const& settings, QList<QVariantList> const& rows) {
    if (!settings.usable())
        return {0, 0, settings.error};
    if (!QSqlDatabase::isDriverAvailable("QPSQL"))
        return {0, 0, "the toolkit's PostgreSQL driver is not installed (package libqt5sql5-psql)"};
    QString const name = connection_name();
    Sending sending;
    {
        QSqlDatabase plant = QSqlDatabase::addDatabase("QPSQL", name);
        open(&plant, settings);
        if (!plant.isOpen())
            sending.error = reason(plant.lastError());
        else if (std::optional<QString> const error = ensure_table(plant))
            sending.error = *error;
        else
            sending = send_batches(local, plant, rows);
        plant.close();
    }
    QSqlDatabase::removeDatabase(name);
    return sending;
}

} // namespace

Sending::operator QString() const {
    return QString("sent %1, pending %2%3")
        .arg(QString::number(sent), QString::number(pending), error.isEmpty() ? "" : ": " + error);
}

Sending send_pending(QSqlDatabase local, PlantDatabase const& plant) {
    Sending sending;
    std::optional<QList<QVariantList>> const rows = pending_rows(local, &sending.error);
    if (!rows || rows->isEmpty())
        return sending;
    qDebug() << "History: sending records to the plant's database" << plant;
    sending = send_to(local, plant, *rows);
    sending.pending = count_pending(local);
    qDebug() << "History: plant's database:" << QString(sending);
    return sending;
}

QString sending_words(Sending const& sending, PlantDatabase const& plant) {
    // One arg() for all: a URL's %-escapes must not be taken for place holders.
    QString const pending = QString::number(sending.pending);
    if (!plant.usable())
        return QString("The plant's history database is not used: its URL cannot be read (%1). The records "
                       "wait here for a run given a URL it can use (pending: %2).")
            .arg(plant.error, pending);
    if (!sending.error.isEmpty())
        return QString("The plant's history database %1 did not take the records (%2). They wait here "
                       "for the next run that reaches it (pending: %3).")
            .arg(plant.shown, sending.error, pending);
    if (sending.pending > 0)
        return QString("The plant's history database %1 took part of the records waiting here; the next run "
                       "sends the rest (sent: %2, pending: %3).")
            .arg(plant.shown, QString::number(sending.sent), pending);
    return {};
}

} // namespace History
