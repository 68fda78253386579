#pragma once

#include <QString>

namespace instance {

// Claims the right to run for the life of the process: without a serial, alone for this user's bus;
// with one, alone for that unit (instances for other serials may run beside it). False when another
// instance holds it. The kernel drops the claim when the process ends, however it ends.
bool claim(QString const& bus, QString const& serial = QString());

// The bus an instance guards: the USB bus, or in simulator mode the emulated world it was pointed at.
QString bus_name(bool simulated);

} // namespace instance
