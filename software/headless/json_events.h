#pragma once

#include "app/causes.h"
#include "app/narration.h"
#include "control/sm_a.h"
#include "control/sm_b.h"

#include "files/phase_progress.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdio>

// --json: one JSON object per line on standard output for each event of a run or a listing. The schema is
// documented in the README and kept stable; scripts rely on it.
namespace json_events {

// The stream the events go to, or null without --json. With it, the process's standard output is turned to
// standard error from here on, so that the text lines and any other print never mix with the events.
FILE* open_stream(bool json);
// Writes one event as one line; nothing when the stream is null.
void write(FILE* stream, QJsonObject const& event);

QJsonObject unit_seen(DFU::DeviceItem const& unit, QString const& product, QString const& firmware);
QJsonObject judgement(DFU::DeviceItem const& unit, QString const& judgement);
// `bytes` and `total` of the step under way, and its name, when the phase has reported them; null otherwise.
QJsonObject phase(QString const& serial, QString const& phase, int progress, QString const& step = QString(),
                  qint64 bytes = -1, qint64 total = -1);
QJsonObject result(int exit_code, QString const& outcome);
QJsonValue text_or_null(QString const& text);

} // namespace json_events

// The events of one run without a window, taken from the same signals the text output follows; nothing
// without a stream.
class JsonRunEvents : public QObject {
    Q_OBJECT

public:
    JsonRunEvents(SM_A* worker, SM_B* machine, Narrator* narrator, FILE* stream, QObject* parent = nullptr);

    // The last event: the verdict's exit code, and the firmware before and after any write. Nothing is
    // written after it.
    void finished(int exit_code, Cause cause);

private:
    void connect_machine();
    void unit_connected();
    void judged(QString const& judgement);
    void start_phase(QString const& name, double seconds);
    void tick();
    void follow(int step, int percent, qint64 done, qint64 total);
    void end_phase();
    // Ends the phase without a 100.
    void close_phase();
    QString serial() const;

    SM_A* worker;
    SM_B* machine;
    Narrator* narrator;
    FILE* stream;
    QTimer timer;
    progress::Phase progress;
    QString phase_name;
    // The step that reported last in this phase, and its bytes; empty while none reported.
    QString step_name;
    qint64 step_done = -1;
    qint64 step_total = -1;
};
