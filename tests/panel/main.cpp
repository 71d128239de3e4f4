#include "support/qt_log.h"

int main(int argc, char **argv)
{
    return RunQtTests(argc, argv);
}
