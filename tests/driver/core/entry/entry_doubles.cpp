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

NTSTATUS CreateMiniportTopology(PUNKNOWN *miniport, REFGUID, PUNKNOWN outer, POOL_TYPE pool, ULONG)
{
    *miniport = nullptr;
    if (!NT_SUCCESS(S().TopologyStatus))
        return S().TopologyStatus;
    return NewObject<NamedTopology>(miniport, outer, pool, PoolTag::TOPO);
}

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN *miniport, REFGUID classId, PUNKNOWN outer, POOL_TYPE pool,
                                  ULONG index)
{
    return engine_test::CreateFakeWave(miniport, classId, outer, pool, index);
}
