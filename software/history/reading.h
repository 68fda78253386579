#pragma once

#include "history/local.h"
#include "history/record.h"

#include <QJsonObject>
#include <QString>
#include <cstdio>

namespace History {

// One record as --history prints it: start, serial, USB path, product, firmware before -> after, outcome
// and exit code, the image, host, versions, dfu-util's message and whether the write finished after its run.
QString line_of(Record const& record);
// One record as a JSON object: the columns by name, unknown texts null, finished_after_run a boolean.
QJsonObject json_of(Record const& record);

// Prints the records newest first, only those of `serial` when it is not empty, one line each (JSON Lines
// with `json`), as they are read: nothing is held but the row at hand. False with the cause in `problem`.
bool print_records(Local* local, QString const& serial, bool json, FILE* out, QString* problem);

} // namespace History
