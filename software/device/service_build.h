#pragma once

// Service builds accept the firmware of a device with a blank product record and offer it the upgrade.
inline bool have_service_build() {
    return false;
}
