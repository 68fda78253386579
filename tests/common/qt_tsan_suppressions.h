#pragma once

// The thread checker sees only instrumented code. Qt's own library is not instrumented, so a hand-over that
// Qt synchronises inside it (QThread::wait reading the finished flag under Qt's futex mutex) looks like a
// race; so does the watchdog thread of Qt's test library. Include once per test executable; each entry names
// the exact Qt internals, never our code.

#if defined(__SANITIZE_THREAD__)
extern "C" char const* __tsan_default_suppressions() {
    return "race:QWaitCondition::~QWaitCondition\n"
           "race:libQt5Test.so.5\n";
}
#endif
