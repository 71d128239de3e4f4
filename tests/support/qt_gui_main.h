// The main of the GUI test programs: a QApplication on the given platform, with the scene graph in
// software, then every test. Include it from the program's main file only.
#pragma once

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>

// Qt Quick frees its paint-order lists with free() after allocating them with operator new: the
// library's own mismatch, which would stop every sanitized run that shows a scene.
extern "C" const char *__asan_default_options()
{
    return "alloc_dealloc_mismatch=0";
}
#endif

// platform: the Qt platform plugin; replace false keeps one the environment names already.
inline int RunGuiTests(int argc, char **argv, const char *platform, bool replace)
{
    setenv("QT_QPA_PLATFORM", platform, replace ? 1 : 0);
    setenv("QT_QUICK_BACKEND", "software", 0);
    // Nothing is drawn with GL: without the X GL integration no GL driver is loaded, and none is
    // unloaded during the run leaving a block the leak checker reports but no suppression can name.
    setenv("QT_XCB_GL_INTEGRATION", "none", 0);
    int result;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
#if defined(__SANITIZE_ADDRESS__)
    // Leaks are looked for once the application and everything of ours are gone, before the exit
    // handlers tear down Qt's own statics. The D-Bus connection manager, which the X platform's tray
    // check starts, is one of them and its thread the last one left: stopped there, on a loaded
    // machine it left its thread data to the check at exit, as a leak of 120 bytes from QThread's
    // constructor.
    __lsan_do_leak_check();
#endif
    return result;
}
