// Qt is not built with ThreadSanitizer: its QMutex works on futexes the tool
// cannot see, so QThread::wait() and the QtTest watchdog, which both pair a QMutex
// with a QWaitCondition, look like races when the condition or the watchdog is
// destroyed.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions()
{
    return "race:QWaitCondition::~QWaitCondition\n"
           "race:QTest::qRun\n";
}
