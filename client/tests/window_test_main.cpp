// The entry point of the window tests: a widget application, on Qt's
// offscreen platform unless the environment names another.
#include <QApplication>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#define TESSARY_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSARY_LEAK_CHECK 1
#endif
#endif
#ifdef TESSARY_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// Qt runs work on pools of detached threads: painting of large areas, host
// name lookups. When a pool is joined, at the latest at exit, each thread
// releases its thread data only on its way out, after the join has returned;
// should LeakSanitizer's check at exit fall into that moment, it reports the
// data as leaked. So the check runs here instead, while every pool thread is
// still alive and its data reachable; the check at exit then no longer runs.
void CheckForLeaksNow() {
#ifdef TESSARY_LEAK_CHECK
    __lsan_do_leak_check();
#endif
}

}  // namespace

#ifdef TESSARY_LEAK_CHECK
// fontconfig refers to its parsed configuration in ways LeakSanitizer cannot
// follow, until Qt releases it at exit; checked before that, its own
// allocations would be reported.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    CheckForLeaksNow();
    return result;
}
