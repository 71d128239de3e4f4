#include "drvsetup.h"

int main(int argc, char **argv)
{
    return drvsetupMain(argc, argv);
}
