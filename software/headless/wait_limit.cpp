#include "app/wait_limit.h"

#include "app/app.h"
#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/narration.h"

#include <QTimer>

namespace {

void give_up(HeadlessFrontEnd* front_end, SM_A* worker, int seconds) {
    if (worker->unit_awaiting_verification().serial.isEmpty()) {
        front_end->give_up(Exit::no_unit_in_time,
                           narrator->text("result_noUnitInTime", {QString::number(seconds)}));
        return;
    }
    front_end->give_up(Exit::not_verified, narrator->text("result_notVerified"));
}

} // namespace

void limit_wait_for_unit(HeadlessFrontEnd* front_end, SM_A* worker, SM_B* machine, int seconds) {
    auto* timer = new QTimer(front_end);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(seconds * 1000);
    QObject::connect(timer, &QTimer::timeout, front_end, [=] { give_up(front_end, worker, seconds); });
    QObject::connect(machine->B1, &QState::entered, timer, qOverload<>(&QTimer::start));
    // A unit other than the written one does not end the wait for the written one.
    QObject::connect(machine, &SM_B::sig_DeviceConnected, timer, [=] {
        if (!narrator->judging_another_unit())
            timer->stop();
    });
}
