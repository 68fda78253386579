// Many stations, one history: stations that record at once into a PostgreSQL server of this test's own,
// stopped in the middle and started again, leave every record there exactly once; whatever refuses the
// records leaves them waiting, and the password is never told.

#include "history/plant.h"
#include "history/record.h"
#include "message_capture.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QUuid>
#include <QtTest>
#include <atomic>
#include <iterator>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

// Characters that a URL must escape and a connection setting must quote, so that both are tested along.
QString const password = "s3:cr@t/pw% it's\\";
QString const database = "plant history";
int const stations = 4;

QString pg_program(QString const& name) {
    QStringList versions = QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(), [](QString a, QString b) { return a.toInt() < b.toInt(); });
    return versions.isEmpty() ? name : "/usr/lib/postgresql/" + versions.last() + "/bin/" + name;
}

QString url(QString const& socket_dir, QString const& pass = password, QString const& name = database) {
    return "postgresql://plant:" + QUrl::toPercentEncoding(pass) + "@/" + QUrl::toPercentEncoding(name) +
           "?host=" + QUrl::toPercentEncoding(socket_dir);
}

// A station's local history, with the columns and the mark of the local database.
QSqlDatabase local_history(QString const& path, QString const& connection) {
    QSqlDatabase local = QSqlDatabase::addDatabase("QSQLITE", connection);
    local.setDatabaseName(path);
    QStringList columns;
    for (char const* column : History::record_columns)
        columns << column + QString(column == QString("id") ? " TEXT PRIMARY KEY" : "");
    local.open();
    QSqlQuery(local).exec("CREATE TABLE records (" + columns.join(", ") +
                          ", plant_sent INTEGER NOT NULL DEFAULT 0)");
    return local;
}

// A record of each kind: written and verified, or failed with dfu-util's words, which carry quotes, a
// backslash and non-ASCII letters, and without a read-back (firmware_after NULL), finished after its run.
bool store(QSqlDatabase local, int station, int n) {
    QString const now = QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'");
    bool const failed = n % 3 == 1;
    QSqlQuery insert(local);
    insert.prepare("INSERT INTO records VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0)");
    for (QVariant const& value :
         QVariantList{QUuid::createUuid().toString(QUuid::WithoutBraces), now, now,
                      "station-" + QString::number(station), "1.0", "0.11",
                      QString("33%1%2").arg(station).arg(n, 8, 10, QChar('0')), "1-3", "F20", "2.6.3",
                      failed ? QVariant(QVariant::String) : "2.7.0", "2.7.0", QString(64, 'a'),
                      failed ? "write-failed" : "firmware-matches", failed ? 7 : 0,
                      failed ? "dfu-util: Error during download: 'it's gone' \\ «Überweg»"
                             : QVariant(QVariant::String),
                      failed ? 1 : 0})
        insert.addBindValue(value);
    return insert.exec();
}

// A column's value in one text form, whichever database it came from.
QString text_of(QVariant const& value) {
    if (value.isNull())
        return "NULL";
    if (value.type() == QVariant::DateTime)
        return value.toDateTime().toUTC().toString("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'");
    if (value.type() == QVariant::Bool)
        return value.toBool() ? "1" : "0";
    return value.toString();
}

// Every record of a database, one text per row, by id.
QMultiMap<QString, QString> rows_of(QSqlDatabase db, QString const& where = {}) {
    QStringList columns;
    for (char const* column : History::record_columns)
        columns << column;
    QSqlQuery query("SELECT " + columns.join(", ") + " FROM records " + where, db);
    QMultiMap<QString, QString> rows;
    while (query.next()) {
        QStringList values;
        for (int i = 0; i < columns.size(); ++i)
            values << text_of(query.value(i));
        rows.insert(values.first(), values.join('|'));
    }
    return rows;
}

} // namespace

class TestPlant : public QObject {
    Q_OBJECT

    // The server's socket path must stay within 107 bytes.
    QString const base = QDir::tempPath().size() <= 60 ? QDir::tempPath() : "/tmp";
    QTemporaryDir dir{base + "/pg-XXXXXX"};
    uid_t server_uid = ::getuid();
    gid_t server_gid = ::getgid();

    // The server refuses to run as root: a test run by root runs it as nobody, in a directory of nobody's.
    int as_server(QString const& program, QStringList const& arguments) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (::getuid() == 0)
            process.start("setpriv",
                          QStringList{"--reuid=" + QString::number(server_uid),
                                      "--regid=" + QString::number(server_gid), "--clear-groups", program} +
                              arguments);
        else
            process.start(program, arguments);
        process.waitForFinished(60000);
        if (process.exitCode() != 0)
            qWarning().noquote() << program << arguments << process.readAll();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    int pg_ctl(QStringList const& arguments) {
        return as_server(pg_program("pg_ctl"),
                         QStringList{"-D", dir.path() + "/data", "-w", "-t", "30"} + arguments);
    }

    int start_server() {
        // Unix socket in the test's directory only, no TCP port; durability is not what is tested.
        return pg_ctl({"-l", dir.path() + "/server.log", "-o",
                       "-c listen_addresses='' -c unix_socket_directories='" + dir.path() +
                           "' -c fsync=off -c full_page_writes=off",
                       "start"});
    }

    QSqlDatabase plant(QString const& connection) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", connection);
        db.setHostName(dir.path());
        db.setUserName("plant");
        db.setPassword(password);
        db.setDatabaseName(database);
        return db;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        QVERIFY2(QSqlDatabase::isDriverAvailable("QPSQL"),
                 "Qt's PostgreSQL driver: scripts/deps.sh installs it");
        if (::getuid() == 0) {
            passwd const* nobody = ::getpwnam("nobody");
            QVERIFY(nobody);
            server_uid = nobody->pw_uid;
            server_gid = nobody->pw_gid;
            // Only passed through by nobody, on the way to its own directory.
            QVERIFY(QFile::setPermissions(base, QFile::permissions(base) | QFile::ExeOther));
            QCOMPARE(::chown(QFile::encodeName(dir.path()).constData(), server_uid, server_gid), 0);
        }
        QFile password_file(dir.path() + "/password");
        QVERIFY(password_file.open(QIODevice::WriteOnly));
        password_file.write(password.toUtf8() + "\n");
        password_file.close();
        QCOMPARE(::chown(QFile::encodeName(password_file.fileName()).constData(), server_uid, server_gid), 0);
        QCOMPARE(as_server(pg_program("initdb"),
                           {"-D", dir.path() + "/data", "-U", "plant", "-A", "scram-sha-256", "--pwfile",
                            password_file.fileName(), "-N", "-E", "UTF8", "--locale=C"}),
                 0);
        QCOMPARE(start_server(), 0);
        QSqlDatabase admin = plant("admin");
        admin.setDatabaseName("postgres");
        QVERIFY2(admin.open(), qPrintable(admin.lastError().text()));
        QSqlQuery create(admin);
        QVERIFY2(create.exec("CREATE DATABASE \"" + database + "\""), qPrintable(create.lastError().text()));
        // A database whose table records has another form: it refuses records after the connection is made.
        QVERIFY(create.exec("CREATE DATABASE refusing"));
        QSqlDatabase refusing = plant("refusing");
        refusing.setDatabaseName("refusing");
        QVERIFY(refusing.open() && QSqlQuery(refusing).exec("CREATE TABLE records (id text PRIMARY KEY)"));
    }

    void cleanupTestCase() { pg_ctl({"-m", "immediate", "stop"}); }

    // The stations start on a database without the table and make it at once; while the server is gone
    // each tells it once per record and keeps the record; after its return they send all.
    void four_stations_one_history() {
        MessageCapture messages;
        History::PlantDatabase const plant_db = History::plant_database(url(dir.path()));
        QVERIFY2(plant_db.usable(), qPrintable(plant_db.error));
        // 0 before the server stops, 1 once it is stopped, 2 once it is started again, 3 to finish.
        std::atomic<int> phase{0};
        std::atomic<int> stored[stations][3] = {};
        std::atomic<int> failures{0};
        QVector<QStringList> told(stations);
        QVector<int> left_pending(stations, -1);
        std::vector<std::thread> threads;
        for (int s = 0; s < stations; ++s)
            threads.emplace_back([&, s] {
                QString const connection = "station-" + QString::number(s);
                {
                    QSqlDatabase local = local_history(dir.path() + "/" + connection + ".sqlite", connection);
                    for (int n = 0, at = phase; at < 3; ++n, at = phase) {
                        failures += store(local, s, n) ? 0 : 1;
                        History::Sending const sending = History::send_pending(local, plant_db);
                        QString const words = History::sending_words(sending, plant_db);
                        if (!words.isEmpty())
                            told[s] << words;
                        stored[s][at]++;
                        QThread::msleep(10);
                    }
                    // The next run that reaches the server.
                    left_pending[s] = History::send_pending(local, plant_db).pending;
                }
                QSqlDatabase::removeDatabase(connection);
            });
        // Until every station has stored a few records in the phase.
        auto stored_in = [&](int at) {
            QElapsedTimer waited;
            waited.start();
            auto const done = [&] {
                return std::all_of(std::begin(stored), std::end(stored),
                                   [at](auto& n) { return n[at] >= 3; });
            };
            while (!done() && waited.elapsed() < 20000)
                QThread::msleep(5);
            return done();
        };
        bool const ran = stored_in(0);
        int const stopped = pg_ctl({"-m", "immediate", "stop"});
        phase = 1;
        bool const went_on = stored_in(1);
        int const restarted = start_server();
        phase = 2;
        bool const came_back = stored_in(2);
        phase = 3;
        for (std::thread& thread : threads)
            thread.join();
        QVERIFY(ran && went_on && came_back);
        QCOMPARE(stopped, 0);
        QCOMPARE(restarted, 0);
        QCOMPARE(int(failures), 0);

        QMultiMap<QString, QString> locals;
        for (int s = 0; s < stations; ++s) {
            QCOMPARE(left_pending[s], 0);
            QString const connection = "check-" + QString::number(s);
            {
                QSqlDatabase local = QSqlDatabase::addDatabase("QSQLITE", connection);
                local.setDatabaseName(dir.path() + "/station-" + QString::number(s) + ".sqlite");
                QVERIFY(local.open());
                locals.unite(rows_of(local));
                QVERIFY(rows_of(local, "WHERE plant_sent = 0").isEmpty());
                // As if the run had died between the server's commit and its own mark: sent again, stored
                // once.
                if (s == 0 && QSqlQuery(local).exec("UPDATE records SET plant_sent = 0"))
                    QCOMPARE(History::send_pending(local, plant_db).sent, rows_of(local).size());
            }
            QSqlDatabase::removeDatabase(connection);
            // Told while the server was gone, in words that name the database without its password.
            QVERIFY(told[s].size() >= 1);
            for (QString const& words : told[s]) {
                QVERIFY2(words.contains("did not take") &&
                             words.contains("postgresql://plant@/plant%20history"),
                         qPrintable(words));
                QVERIFY(!words.contains(password) &&
                        !words.contains(QString::fromLatin1(QUrl::toPercentEncoding(password))));
            }
        }
        {
            QSqlDatabase db = plant("check-plant");
            QVERIFY2(db.open(), qPrintable(db.lastError().text()));
            QMultiMap<QString, QString> const held = rows_of(db);
            QCOMPARE(held.size(), locals.size());
            QCOMPARE(held, locals);
            QSqlQuery types("SELECT concat_ws(' ', pg_typeof(started_utc), pg_typeof(exit_code), "
                            "pg_typeof(finished_after_run)) FROM records",
                            db);
            QVERIFY(types.next());
            QCOMPARE(types.value(0).toString(), QString("timestamp with time zone integer boolean"));
        }
        QSqlDatabase::removeDatabase("check-plant");
        for (auto const& message : messages.messages())
            QVERIFY2(!message.text.contains(password) && !message.text.contains("still in use"),
                     qPrintable(message.text));
    }

    // Whatever refuses the records, the run is told once, without the password, within seconds, and the
    // record waits.
    void refusals_are_told_and_the_record_waits_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("key_words");
        QTest::newRow("wrong password")
            << url(dir.path(), "not-" + password) << "password authentication failed";
        QTest::newRow("table of another form") << url(dir.path(), password, "refusing") << "column";
        QTest::newRow("no such database") << url(dir.path(), password, "elsewhere") << "does not exist";
        QTest::newRow("no server") << url(dir.path() + "/none") << "No such file";
        QTest::newRow("server that never answers") << url(dir.path() + "/silent") << "timeout";
        QTest::newRow("@ not escaped")
            << "postgresql://plant:" + password + "@/x?host=" + dir.path() << "URL cannot be read";
        QTest::newRow("not a URL") << "host=" + dir.path() + " password=" + password << "URL cannot be read";
    }
    void refusals_are_told_and_the_record_waits() {
        QFETCH(QString, url);
        QFETCH(QString, key_words);
        MessageCapture messages;
        QDir(dir.path()).mkdir("silent");
        // Listens and never answers: the client library waits for the server's first words.
        int const silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        QFile::remove(dir.path() + "/silent/.s.PGSQL.5432");
        qstrncpy(address.sun_path, QFile::encodeName(dir.path() + "/silent/.s.PGSQL.5432"),
                 sizeof address.sun_path);
        QVERIFY(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::listen(silent, 4) == 0);
        auto const close_silent = qScopeGuard([silent] { ::close(silent); });
        History::PlantDatabase const plant_db = History::plant_database(url);
        QString const connection = QTest::currentDataTag();
        {
            QSqlDatabase local = local_history(dir.path() + "/" + connection + ".sqlite", connection);
            QVERIFY(store(local, 8, 0));
            QElapsedTimer took;
            took.start();
            History::Sending const sending = History::send_pending(local, plant_db);
            QVERIFY(took.elapsed() < (History::plant_connect_seconds + 1) * 1000);
            QString const words = History::sending_words(sending, plant_db);
            QVERIFY2(words.contains(key_words) && words.contains("(pending: 1)"), qPrintable(words));
            QCOMPARE(rows_of(local, "WHERE plant_sent = 0").size(), 1);
            QStringList const texts = messages.texts(QtDebugMsg)
                                      << words << plant_db.shown << QString(plant_db);
            for (QString const& text : texts)
                QVERIFY2(!text.contains(password) &&
                             !text.contains(QString::fromLatin1(QUrl::toPercentEncoding(password))),
                         qPrintable(text));
        }
        QSqlDatabase::removeDatabase(connection);
    }

    // URLs in the forms psql takes; the one shown is the URL without its password.
    void urls_read_as_psql_reads_them() {
        History::PlantDatabase const plant_db = History::plant_database(
            "postgres://line%207@[::1]:6543,db2/history?password=x%3By&sslmode=require&connect_timeout=2");
        QVERIFY2(plant_db.usable(), qPrintable(plant_db.error));
        QCOMPARE(plant_db.settings.value("user"), QString("line 7"));
        QCOMPARE(plant_db.settings.value("host"), QString("::1,db2"));
        QCOMPARE(plant_db.settings.value("port"), QString("6543,"));
        QCOMPARE(plant_db.settings.value("password"), QString("x;y"));
        QCOMPARE(plant_db.settings.value("connect_timeout"), QString("2"));
        QCOMPARE(plant_db.shown,
                 QString("postgresql://line%207@[::1]:6543,db2/history?sslmode=require&connect_timeout=2"));
        for (char const* unusable : {"postgresql://host:port/db", "postgresql://host/db?sslmode=a;b",
                                     "postgresql://h/db?s3cr%3Bt=1"})
            QVERIFY(!History::plant_database(unusable).usable());
    }
};

QTEST_GUILESS_MAIN(TestPlant)
#include "tst_plant.moc"
