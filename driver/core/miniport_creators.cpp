// The miniport creators the start routine and the stream engines are handed: the topology miniport
// reads its endpoint names through the driver's settings store.
#include "driver/core/driver_entry.h"
#include "driver/core/settings.h"
#include "driver/filters/miniport_topology.h"

NTSTATUS CreateMiniportTopology(PUNKNOWN *miniport, REFGUID classId, PUNKNOWN outerUnknown,
                                POOL_TYPE poolType, ULONG)
{
    return CreateMiniportTopology(miniport, classId, outerUnknown, poolType, &SettingsValue);
}
