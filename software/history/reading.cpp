#include "history/reading.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>

namespace History {

namespace {

QString or_unknown(QString const& text) {
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QJsonValue text_or_null(QString const& text) {
    return text.isNull() ? QJsonValue() : QJsonValue(text);
}

// The start as people read it: to the second, still in UTC.
QString started(Record const& record) {
    return record.started_utc.toUTC().toString(Qt::ISODate).replace('T', ' ');
}

// The hash is long; its first twelve digits tell images apart on a line, --json gives it whole.
constexpr int shown_hash_digits = 12;

} // namespace

QString line_of(Record const& record) {
    QString line =
        QString("%1  %2  %3  %4  %5 -> %6  %7 (exit code %8)  image %9 sha256 %10")
            .arg(started(record), or_unknown(record.serial), or_unknown(record.usb_path),
                 or_unknown(record.product), or_unknown(record.firmware_before),
                 or_unknown(record.firmware_after), record.outcome)
            .arg(record.exit_code)
            .arg(or_unknown(record.image_revision), or_unknown(record.image_sha256.left(shown_hash_digits)));
    line += QString("  on %1, tool %2, dfu-util %3")
                .arg(or_unknown(record.host), or_unknown(record.tool_version),
                     or_unknown(record.dfu_util_release));
    if (!record.dfu_util_message.isEmpty())
        line += "  message: " + record.dfu_util_message;
    if (record.finished_after_run)
        line += "  (finished after the run that started it ended)";
    return line;
}

QJsonObject json_of(Record const& record) {
    return {{"id", record.id},
            {"started_utc", utc_text(record.started_utc)},
            {"ended_utc", utc_text(record.ended_utc)},
            {"host", text_or_null(record.host)},
            {"tool_version", text_or_null(record.tool_version)},
            {"dfu_util_release", text_or_null(record.dfu_util_release)},
            {"serial", text_or_null(record.serial)},
            {"usb_path", text_or_null(record.usb_path)},
            {"product", text_or_null(record.product)},
            {"firmware_before", text_or_null(record.firmware_before)},
            {"firmware_after", text_or_null(record.firmware_after)},
            {"image_revision", text_or_null(record.image_revision)},
            {"image_sha256", text_or_null(record.image_sha256)},
            {"outcome", record.outcome},
            {"exit_code", record.exit_code},
            {"dfu_util_message", text_or_null(record.dfu_util_message)},
            {"finished_after_run", record.finished_after_run}};
}

bool print_records(Local* local, QString const& serial, bool json, FILE* out, QString* problem) {
    if (!*local) {
        *problem = local->problem;
        return false;
    }
    QSqlQuery query(local->database);
    query.setForwardOnly(true);
    QString const only = serial.isEmpty() ? QString() : QStringLiteral(" WHERE serial = ?");
    query.prepare(QString("SELECT %1 FROM records%2 ORDER BY started_utc DESC, ended_utc DESC")
                      .arg(column_list(), only));
    if (!serial.isEmpty())
        query.addBindValue(serial);
    if (!query.exec()) {
        *problem = local->database.databaseName() + ": " + query.lastError().text();
        return false;
    }
    while (query.next()) {
        Record const record = record_of(query);
        QByteArray const line =
            json ? QJsonDocument(json_of(record)).toJson(QJsonDocument::Compact) : line_of(record).toUtf8();
        std::fputs((line + '\n').constData(), out);
    }
    std::fflush(out);
    return true;
}

} // namespace History
