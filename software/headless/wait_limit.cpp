#include "headless/wait_limit.h"

#include "app/app.h"
#include "app/exit_codes.h"
#include "app/narration.h"
#include "control/sm_a.h"
#include "control/sm_b.h"

#include <QTimer>

namespace {

void time_is_up(SM_A* worker, int seconds, std::function<void(Cause, QStringList const&)> const& give_up) {
    QStringList const attached_instead = narrator->passed_over();
    if (worker->unit_awaiting_verification().serial.isEmpty() && !attached_instead.isEmpty()) {
        give_up(Cause::serial_absent,
                {worker->serial_filter, QString::number(seconds), attached_instead.join(", ")});
        return;
    }
    if (worker->unit_awaiting_verification().serial.isEmpty()) {
        give_up(Cause::no_unit_in_time, {QString::number(seconds)});
        return;
    }
    // Told by the narrator once the worker's next listing shows that the written unit is not back, or back
    // but held by another program: no wait of the run goes past the time given.
    worker->look_for_written_units(true);
}

} // namespace

void limit_wait_for_unit(QObject* owner, SM_A* worker, SM_B* machine, int seconds,
                         std::function<void(Cause cause, QStringList const& args)> give_up) {
    auto* timer = new QTimer(owner);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(seconds * 1000);
    QObject::connect(timer, &QTimer::timeout, owner, [=] { time_is_up(worker, seconds, give_up); });
    QObject::connect(machine->B1, &QState::entered, timer, qOverload<>(&QTimer::start));
    // A unit other than the written one does not end the wait for the written one.
    QObject::connect(machine, &SM_B::sig_DeviceConnected, timer, [=] {
        if (!narrator->judging_another_unit())
            timer->stop();
    });
}
