// The endpoint base names, indexed by the terminal type an engine reports. The start routine and the
// device object's renaming both name endpoints from this one table.
#include "driver/core/driver_entry.h"

namespace
{

const WCHAR *const g_FilterTypeNames[FILTER_TYPE_NAMES] = {
    u"Stream",  u"SPK",          u"HP",        u"SPDIF", u"HDMI", u"DisplayPort", u"Line",
    u"Mic",     u"Aux",          u"CD",        u"Video", u"FMic", u"Telephone",   u"HandSet",
    u"HeadSet", u"Speakerphone", u"StereoMix", u"FHP",   u"Rec"};

} // namespace

PCWSTR FilterTypeName(ULONG terminalType)
{
    return g_FilterTypeNames[terminalType < FILTER_TYPE_NAMES ? terminalType : 0];
}
