#include "support/qt_gui_main.h"

// The panel's tests build widgets and QML scenes, so the application is a QApplication. The
// platform is chosen here, not in ctest's environment: ctest lists the tests by running this
// program bare. Offscreen has no OpenGL, and the default scene graph would abort without it.
int main(int argc, char **argv)
{
    return RunGuiTests(argc, argv, "offscreen", false);
}
