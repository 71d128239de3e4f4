// The engine's wave endpoint: registered with the port class while its terminal's jack is connected.
#include "driver/filters/stream_engine.h"

#include "driver/base/pool_memory.h"

namespace
{

// GetTerminalId leaves this when it has no answer.
constexpr ULONG kNoTerminal = 0xFFFFFFFF;
// The wave filter's pin that faces the topology filter.
constexpr ULONG kWaveBridgePin = 1;

// Releases what a registration attempt obtained, whatever it reached.
struct RegistrationParts
{
    IAudioHal *Hal = nullptr;
    PPORT Port = nullptr;
    PUNKNOWN Miniport = nullptr;
    IMiniportPrivate *MiniportPrivate = nullptr;

    ~RegistrationParts()
    {
        if (MiniportPrivate)
            MiniportPrivate->Release();
        if (Miniport)
            Miniport->Release();
        if (Port)
            Port->Release();
        if (Hal)
            Hal->Release();
    }
};

} // namespace

NTSTATUS CStreamEngine::DecidePresence(BOOLEAN *present)
{
    *present = FALSE;
    if (!m_AttachedNodes)
        return STATUS_SUCCESS;
    const ULONG terminalKind = m_EngineId == 0 ? NODE_KIND_OUTPUT_TERMINAL : NODE_KIND_INPUT_TERMINAL;
    for (CItemList::PNODE cursor = m_AttachedNodes->FirstNode(); cursor && !*present; cursor = cursor->Next)
    {
        auto *node = static_cast<IAudioNode *>(cursor->Item);
        if (!node || node->GetKind() != terminalKind)
            continue;
        ITerminalInfo *terminal = QueryAs<ITerminalInfo>(node, IID_ITerminalInfo);
        if (!terminal)
            continue;
        ULONG type = 0;
        ULONG jacks = 0;
        NTSTATUS status = STATUS_SUCCESS;
        if (NT_SUCCESS(terminal->GetSelectedType(&type)) && type != 0 &&
            NT_SUCCESS(terminal->GetJackCount(&jacks)))
        {
            if (jacks == 0)
                *present = TRUE;
            else
            {
                const ULONG bytes = jacks * ULONG(sizeof(JackRecord));
                auto *records = static_cast<JackRecord *>(AllocPoolZeroed(bytes, PagedPool, PoolTag::Stre));
                if (!records)
                    status = STATUS_INSUFFICIENT_RESOURCES;
                else
                {
                    if (NT_SUCCESS(terminal->GetJacks(bytes, records)))
                        for (ULONG i = 0; i < jacks; ++i)
                            if (records[i].IsConnected)
                                *present = TRUE;
                    FreePool(records);
                }
            }
        }
        terminal->Release();
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::Register(PDEVICE_OBJECT deviceObject, IRP *irp, PUNKNOWN adapter)
{
    RegistrationParts parts;
    if (!m_TopologyPort || !m_TopologyPrivate)
        return STATUS_UNSUCCESSFUL;
    parts.Hal = QueryAs<IAudioHal>(adapter, IID_IAudioHal);
    if (!parts.Hal)
        return STATUS_UNSUCCESSFUL;
    ULONG index = 0;
    const ULONG engines = parts.Hal->GetEngineCount();
    for (; index < engines; ++index)
    {
        IStreamEngine *engine = nullptr;
        if (NT_SUCCESS(parts.Hal->GetEngine(index, &engine)) && engine == static_cast<IStreamEngine *>(this))
            break;
    }
    if (index == engines)
        return STATUS_UNSUCCESSFUL;

    NTSTATUS status = PcNewPort(&parts.Port, m_PortClassId);
    if (!NT_SUCCESS(status))
        return status;
    if (!m_CreateMiniport)
        return STATUS_INVALID_PARAMETER;
    status = m_CreateMiniport(&parts.Miniport, m_PortClassId, nullptr, NonPagedPool, index);
    if (!NT_SUCCESS(status))
        return status;
    if (!parts.Miniport)
        return STATUS_UNSUCCESSFUL;
    status = parts.Port->Init(deviceObject, irp, parts.Miniport, adapter, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    parts.MiniportPrivate = QueryAs<IMiniportPrivate>(parts.Miniport, IID_IMiniportPrivate);
    if (!parts.MiniportPrivate)
        return STATUS_UNSUCCESSFUL;

    PWSTR name = nullptr; // the miniport's buffer, kept alive by parts.Miniport
    status = parts.MiniportPrivate->GetName(&name);
    if (!NT_SUCCESS(status))
        return status;
    if (!name)
        return STATUS_UNSUCCESSFUL;
    // A terminal identifier the miniport never wrote would connect an arbitrary topology pin.
    ULONG terminalId = kNoTerminal;
    status = parts.MiniportPrivate->GetTerminalId(&terminalId);
    if (!NT_SUCCESS(status) || terminalId == kNoTerminal)
        return STATUS_UNSUCCESSFUL;
    ULONG pin = 0;
    status = m_TopologyPrivate->GetPinForTerminal(terminalId, &pin);
    if (!NT_SUCCESS(status))
        return status;

    status = PcRegisterSubdevice(deviceObject, name, parts.Port);
    if (!NT_SUCCESS(status))
        return status;
    if (m_EngineId != 0)
        status = PcRegisterPhysicalConnection(deviceObject, m_TopologyPort, pin, parts.Port, kWaveBridgePin);
    else
        status = PcRegisterPhysicalConnection(deviceObject, parts.Port, kWaveBridgePin, m_TopologyPort, pin);
    if (!NT_SUCCESS(status))
    {
        // An endpoint without its connection would count as registered and never be retried.
        if (IUnregisterSubdevice *unregister =
                QueryAs<IUnregisterSubdevice>(parts.Port, IID_IUnregisterSubdevice))
        {
            unregister->UnregisterSubdevice(deviceObject, parts.Port);
            unregister->Release();
        }
        return status;
    }
    m_WavePort = parts.Port;
    parts.Port = nullptr; // the creation reference becomes the engine's
    m_TopologyPin = pin;
    return STATUS_SUCCESS;
}

BOOLEAN CStreamEngine::ListsPcmFormat()
{
    const GUID pcm = SubFormatForTag(WAVE_FORMAT_PCM);
    CItemList *list = CurrentFormatList();
    for (CItemList::PNODE node = list ? list->FirstNode() : nullptr; node; node = node->Next)
    {
        const auto *format = static_cast<const WAVEFORMATEXTENSIBLE *>(node->Item);
        if (format && (format->Format.wFormatTag == WAVE_FORMAT_PCM ||
                       (format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->SubFormat == pcm)))
            return TRUE;
    }
    return FALSE;
}

NTSTATUS CStreamEngine::UpdateRegistration(PDEVICE_OBJECT deviceObject, IRP *irp, PUNKNOWN adapter)
{
    if (!m_CreateMiniport)
        return STATUS_UNSUCCESSFUL;
    BOOLEAN present = FALSE;
    const NTSTATUS status = DecidePresence(&present);
    if (!NT_SUCCESS(status))
        return status;
    // An endpoint whose device offers nothing its pin could open stays away; the rest of the device
    // still starts.
    const char *absent = !present                           ? "no connected jack on its terminal"
                         : !m_WavePort && !ListsPcmFormat() ? "no PCM format its endpoint carries"
                                                            : nullptr;
    if (absent && !m_WavePort)
    {
        if (absent != m_AbsenceLogged)
            DbgPrint("UpdateRegistration %s endpoint of terminal type %u not registered: %s\n",
                     m_EngineId ? "capture" : "render", unsigned(GetTerminalType()), absent);
        m_AbsenceLogged = absent;
        return STATUS_SUCCESS;
    }
    m_AbsenceLogged = nullptr;
    if (present && !m_WavePort)
        return Register(deviceObject, irp, adapter);
    if (!present && m_WavePort)
        return Unregister(deviceObject);
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::Unregister(PDEVICE_OBJECT deviceObject)
{
    if (!m_WavePort)
        return STATUS_SUCCESS;
    NTSTATUS first = STATUS_SUCCESS;
    auto keepFirst = [&first](NTSTATUS status)
    {
        if (NT_SUCCESS(first) && !NT_SUCCESS(status))
            first = status;
    };

    PUNKNOWN connectionOwner = m_EngineId != 0 ? m_TopologyPort : m_WavePort;
    IUnregisterPhysicalConnection *connection =
        QueryAs<IUnregisterPhysicalConnection>(connectionOwner, IID_IUnregisterPhysicalConnection);
    if (!connection)
        keepFirst(STATUS_UNSUCCESSFUL);
    else
    {
        if (m_EngineId != 0)
            keepFirst(connection->UnregisterPhysicalConnection(deviceObject, m_TopologyPort, m_TopologyPin,
                                                               m_WavePort, kWaveBridgePin));
        else
            keepFirst(connection->UnregisterPhysicalConnection(deviceObject, m_WavePort, kWaveBridgePin,
                                                               m_TopologyPort, m_TopologyPin));
        connection->Release();
    }

    IUnregisterSubdevice *subdevice = QueryAs<IUnregisterSubdevice>(m_WavePort, IID_IUnregisterSubdevice);
    if (!subdevice)
        keepFirst(STATUS_UNSUCCESSFUL);
    else
    {
        keepFirst(subdevice->UnregisterSubdevice(deviceObject, m_WavePort));
        subdevice->Release();
    }
    m_WavePort->Release();
    m_WavePort = nullptr;
    return first;
}
