#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

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
