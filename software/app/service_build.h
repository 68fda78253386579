#pragma once

// Service builds accept devices with a blank product record; customer builds never do.
inline bool have_service_build() { return false; }
