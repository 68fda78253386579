#pragma once

#include "history/record.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// The history kept on this machine: one SQLite file per user, written by every run, read by --history and
// handed on to a plant's database.
namespace History {

// "<state directory>/zentova-firmware-upgrade/history.sqlite", the state directory being $XDG_STATE_HOME when
// it is an absolute path, else ~/.local/state.
QString local_path();

// The local history as opened: `database` is open when `problem` is empty; otherwise `problem` says where
// and why, in a sentence for the user.
struct Local {
    QSqlDatabase database;
    QString problem;
    // A damaged file found at the path was renamed to this, and a new history started; empty when not.
    QString set_aside;
    // The file opened (its inode): only that one is ever set aside as damaged, never one another run has
    // started in its place meanwhile.
    quint64 file = 0;

    explicit operator bool() const { return problem.isEmpty(); }
};

// Opens the history at `path` under the Qt connection `connection` (one per thread), making its directory
// (mode 0700) and file (0600) on first use. Several runs write at once: WAL, a busy timeout of some seconds,
// one short transaction per record. The schema, created when missing:
//
//   records: the columns of record_columns in that order (timestamps as ISO 8601 UTC text with milliseconds
//            and "Z", e.g. "2026-12-08T14:52:00.123Z"; an unknown text NULL; finished_after_run 0 or 1), and
//            plant_sent INTEGER NOT NULL DEFAULT 0, set to 1 once a plant's database took the row.
//            Indexed on (serial, started_utc) and on started_utc, and on the unsent rows.
//   writes_under_way: the record of a write while it runs, with the run that owns it (owner); dropped when
//            that run stores its record, or completed by a later run when the owner died first.
//
// A file that is not a database, or a damaged one, is renamed to "<path>.damaged-<UTC time>" (its -wal
// file along) and a new history started in its place.
Local open_local(QString const& path, QString const& connection = QStringLiteral("history"));
// Closes the database and drops its connection.
void close_local(Local* local);

// ISO 8601 UTC with milliseconds and "Z", as the databases keep times; the reverse.
QString utc_text(QDateTime const& time);
QDateTime utc_time(QString const& text);

// "id, started_utc, ...": the columns of record_columns in their order, for a SELECT or an INSERT.
QString column_list();
// The record in the current row of `query`, which selected column_list().
Record record_of(QSqlQuery const& query);

// What a run found of a unit when it first read it, which tells how a write that an earlier run left ended.
struct FirstRead {
    QDateTime time;
    QString firmware; // the revision read; null when the read failed
    // The verdict that a write left by an earlier run gets: this run's when it only read the unit, since its
    // read-back then judged that write.
    QString outcome;
    int exit_code = 0;
};

// Stores one record in one short transaction, and with it drops the note of its write (note_write). A write
// that a run which died left noted for the same serial is stored too, with finished_after_run: ended when
// this run first read the unit, firmware_after what it read, and first_read's verdict. False with the cause
// in `problem` when nothing was stored.
bool store(Local* local, Record const& record, FirstRead const& first_read, QString* problem);

// Notes the record of a write that has just started, so that the write is recorded even if this process
// dies before it stores the record itself.
bool note_write(Local* local, Record const& draft, QString* problem);

} // namespace History
