// The device-class factory and the miniport creators the adapter and the start routine call,
// answered by the doubles.
#include "adapter_doubles.h"

using namespace adapter_test;

// Only the protocol decides here: the string-based choice is the device classes' own.
NTSTATUS CreateUsbAudioDeviceForProtocol(UCHAR protocol, IUsbLowerRequests *, PUNKNOWN outer, USHORT, USHORT,
                                         PUNKNOWN *device)
{
    *device = nullptr;
    D().Protocols.push_back(protocol);
    if (protocol != 0 && protocol != 0x20)
        return STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(D().CreateStatus))
        return D().CreateStatus;
    return NewObject<StubDevice>(device, outer, NonPagedPool, PoolTag::UAC1);
}

NTSTATUS CreateMiniportTopology(PUNKNOWN *miniport, REFGUID classId, PUNKNOWN outer, POOL_TYPE pool,
                                ULONG index)
{
    return entry_test::CreateNamedTopology(miniport, classId, outer, pool, index);
}

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN *miniport, REFGUID classId, PUNKNOWN outer, POOL_TYPE pool,
                                  ULONG index)
{
    return engine_test::CreateFakeWave(miniport, classId, outer, pool, index);
}
