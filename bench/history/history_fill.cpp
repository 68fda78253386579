// Fills a history file with made-up records for bench/history/history_time.sh:
//   history_fill FILE COUNT
// COUNT records of COUNT / 4 units (serials 000000000000 upwards in hex, four records each), one second
// apart, written in one transaction through the tool's own schema.
#include "history/local.h"

#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: history_fill FILE COUNT\n");
        return 2;
    }
    History::Local local = History::open_local(QString::fromLocal8Bit(argv[1]));
    if (!local) {
        std::fprintf(stderr, "%s\n", qPrintable(local.problem));
        return 1;
    }
    int const count = QString(argv[2]).toInt();
    QDateTime const first = QDateTime::currentDateTimeUtc().addSecs(-count);
    QSqlQuery query(local.database);
    query.exec("BEGIN");
    query.prepare("INSERT INTO records (" + History::column_list() +
                  ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (int i = 0; i < count; ++i) {
        QDateTime const started = first.addSecs(i);
        for (QVariant const& value :
             {QVariant(QUuid::createUuid().toString(QUuid::WithoutBraces)),
              QVariant(History::utc_text(started)), QVariant(History::utc_text(started.addSecs(14))),
              QVariant("station-1"), QVariant("1.0"), QVariant("0.11"),
              QVariant(QString("%1").arg(i / 4, 12, 16, QChar('0')).toUpper()), QVariant("1-2"),
              QVariant("F20"), QVariant("2.6.3"), QVariant("2.7.0"), QVariant("2.7.0"),
              QVariant(QString(64, 'a')), QVariant("firmware-matches"), QVariant(0),
              QVariant(QVariant::String), QVariant(0)})
            query.addBindValue(value);
        if (!query.exec()) {
            std::fprintf(stderr, "%s\n", qPrintable(query.lastError().text()));
            return 1;
        }
    }
    query.exec("COMMIT");
    History::close_local(&local);
    return 0;
}
