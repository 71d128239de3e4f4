// The main of the GUI test programs: a QApplication on the given platform, with the scene graph in
// software, then every test. Include it from the program's main file only.
#pragma once

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
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
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
