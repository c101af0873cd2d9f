#pragma once

// Qt is not built with ThreadSanitizer: its QThread finishes with a futex-based
// QMutex that the sanitizer cannot see, so it reports the join-then-destroy
// of a finished thread's wait condition as a race; QtTest's watchdog thread ends
// the same way. Only these patterns are silenced.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions()
{
    return "race:QWaitCondition::~QWaitCondition\n"
           "race:QTest::qRun\n";
}
#endif
