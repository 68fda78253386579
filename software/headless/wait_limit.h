#pragma once

#include "app/causes.h"

#include <QStringList>
#include <functional>

class QObject;
class SM_A;
class SM_B;

// --timeout: the run gives up when it has waited this long without a usable unit: exit code 12, or 8 when
// the unit it wrote did not come back to be verified. The clock runs whenever the flow waits for a unit
// and stops when one is read; a write under way is never cut (that is for `give_up` to know).
void limit_wait_for_unit(QObject* owner, SM_A* worker, SM_B* machine, int seconds,
                         std::function<void(Cause cause, QStringList const& args)> give_up);
