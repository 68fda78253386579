#pragma once

#include <QMap>
#include <QSqlDatabase>
#include <QString>

class QDebug;

namespace History {

// Names the plant's database for a run not given --plant-db.
inline constexpr char plant_db_variable[] = "UPDATER_PLANT_DB";

// A plant's PostgreSQL database as a URL names it:
//   postgresql://[user[:password]@][host][:port][/database][?keyword=value&...]
// with percent-encoded parts; a query keyword is a setting of the PostgreSQL client library, e.g.
// host=/run/postgresql for the directory of the server's Unix socket.
struct PlantDatabase {
    QString shown; // the URL without its password: the only form of it that is ever told or logged
    QString error; // why the URL cannot be used; empty when it can
    QMap<QString, QString> settings; // the client library's keywords (host, port, user, password, ...)

    bool usable() const { return error.isEmpty(); }
    operator QString() const { return error.isEmpty() ? shown : "an unusable URL (" + error + ")"; }
};
QDebug operator<<(QDebug debug, PlantDatabase const& plant);

// The database a URL names. A URL without connect_timeout waits at most plant_connect_seconds for the
// server, so that a server that is gone never holds a run up for longer.
PlantDatabase plant_database(QString const& url);
constexpr int plant_connect_seconds = 3;

// The URL a run is given: the option's value when the option is set, else the environment's; empty when
// neither names a plant's database.
QString plant_url(bool option_set, QString const& option_value);

// What one sending of the pending records did.
struct Sending {
    int sent = 0;    // records the plant's database took, now marked sent here
    int pending = 0; // records still waiting here for a run that reaches it
    QString error;   // why the plant's database did not take them all; empty when it did

    operator QString() const;
};

// Sends every record of the local database not yet marked sent to the plant's database (the table
// `records`, made there when missing), then marks them sent locally. Called once the run has decided its
// unit and written its record locally. The plant's database stores a record once whatever happens
// between its commit and the local mark: a record sent again is one it already holds by its id. Without
// pending records nothing connects; a backlog goes in batches for at most a few seconds, the rest next run.
Sending send_pending(QSqlDatabase local, PlantDatabase const& plant);

// What a run tells of a sending, once, in its words; empty when every record went.
QString sending_words(Sending const& sending, PlantDatabase const& plant);

} // namespace History
