#include <afxwin.h>

// Nothing of the framework is needed beyond its start-up call: a program with a module handle can run.
BOOL AFXAPI AfxWinInit(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    return hInstance != nullptr ? TRUE : FALSE;
}
