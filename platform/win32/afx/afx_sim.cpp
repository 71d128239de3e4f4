#include <afxwin.h>

#include <cstdlib>
#include <cstring>

BOOL AFXAPI AfxWinInit(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    const char *fail = std::getenv("DRVSETUP_SIM_AFX_FAIL");
    if (fail != nullptr && std::strcmp(fail, "1") == 0)
        return FALSE;
    return hInstance != nullptr ? TRUE : FALSE;
}
