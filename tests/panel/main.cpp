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

// The panel's tests build widgets and QML scenes, so the application is a QApplication. The
// platform is chosen here, not in ctest's environment: ctest lists the tests by running this
// program bare. Offscreen has no OpenGL, and the default scene graph would abort without it.
int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("QT_QUICK_BACKEND", "software", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
