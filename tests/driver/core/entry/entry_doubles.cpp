// The creation functions the start routine calls, answered by the scripted doubles.
#include "entry_doubles.h"

using namespace entry_test;

NTSTATUS CreateAdapter(PAUDIOHAL *hal)
{
    *hal = nullptr;
    if (!NT_SUCCESS(S().CreateStatus))
        return S().CreateStatus;
    PUNKNOWN unknown = nullptr;
    NTSTATUS status = NewObject<ScriptedAdapter>(&unknown, nullptr, NonPagedPool, PoolTag::PcCr);
    if (!NT_SUCCESS(status))
        return status;
    *hal = QueryAs<IAudioHal>(unknown, IID_IAudioHal);
    unknown->Release();
    return *hal ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CreateMiniportTopology(PUNKNOWN *miniport, REFGUID classId, PUNKNOWN outer, POOL_TYPE pool,
                                ULONG index)
{
    return CreateNamedTopology(miniport, classId, outer, pool, index);
}

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN *miniport, REFGUID classId, PUNKNOWN outer, POOL_TYPE pool,
                                  ULONG index)
{
    return engine_test::CreateFakeWave(miniport, classId, outer, pool, index);
}
