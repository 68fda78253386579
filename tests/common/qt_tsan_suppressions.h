#pragma once

// The thread checker sees only instrumented code. Qt's own libraries are not instrumented, so hand-overs
// that Qt synchronises inside them (a queued signal's event crossing threads, QThread::wait reading the
// finished flag, the watchdog of Qt's test library) look like races at the memory functions Qt calls.
// Accesses made inside Qt's libraries are therefore not checked; every access in our code still is.
// Include once per test executable.

#if defined(__SANITIZE_THREAD__)
extern "C" char const* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif
