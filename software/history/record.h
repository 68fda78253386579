#pragma once

#include <QDateTime>
#include <QString>

namespace History {

// What one run decided about one unit: one row of the history, locally and in a plant's database alike.
struct Record {
    QString id; // a UUID made when the record is made, so a plant database never stores one twice
    QDateTime started_utc;
    QDateTime ended_utc;
    QString host;
    QString tool_version;
    QString dfu_util_release;
    QString serial;
    QString usb_path;
    QString product;
    QString firmware_before;
    QString firmware_after; // null when the written unit was not read again
    QString image_revision;
    QString image_sha256;
    QString outcome; // the JSON outcome word
    int exit_code = 0;
    QString dfu_util_message; // dfu-util's own words where a step failed
    bool finished_after_run = false; // a write left running by a run that ended before it
};

// The columns of a record, in this order, in every database that keeps them.
inline constexpr const char* record_columns[] = {
    "id", "started_utc", "ended_utc", "host", "tool_version", "dfu_util_release", "serial", "usb_path",
    "product", "firmware_before", "firmware_after", "image_revision", "image_sha256", "outcome", "exit_code",
    "dfu_util_message", "finished_after_run",
};

} // namespace History
