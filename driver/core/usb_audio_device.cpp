// The USB audio device classes: selection and creation, the shared device object, and the class 1.0,
// class 2.0 and plain chip-family detections. The Mirk chip lives in usb_audio_device_mirk.cpp.
#include "driver/core/usb_audio_device.h"

#include "driver/base/pool_memory.h"
#include "driver/base/usb_vendor_ids.h"
#include "driver/core/chip_level_units.h"
#include "driver/core/driver_entry.h"
#include "driver/core/settings.h"
#include "driver/core/usb_audio_device_tables.h"
#include "driver/core/usb_audio_stream.h"
#include "driver/filters/control_change.h"

namespace
{

constexpr USHORT kLanguage = USB_LANGUAGE_ENGLISH_US;
constexpr ULONG kTerminalKindInput = 2, kTerminalKindOutput = 3;
constexpr ULONG kConnectorControl = 2;
constexpr ULONG kDefaultMiniportDelayMs = 1;

// Whether the first `characters` little-endian code units at `units` begin with `prefix`.
BOOLEAN UnitsBeginWith(const UCHAR *units, ULONG characters, PCWSTR prefix)
{
    ULONG i = 0;
    for (; prefix[i]; ++i)
        if (i >= characters || WCHAR(units[2 * i] | units[2 * i + 1] << 8) != prefix[i])
            return FALSE;
    return TRUE;
}

BOOLEAN TextBeginsWith(const USB_STRING_TEXT *text, PCWSTR prefix)
{
    return text && text->Text &&
           UnitsBeginWith(reinterpret_cast<const UCHAR *>(text->Text), text->Characters, prefix);
}

template <class Row>
const Row *FindProductRow(const Row *rows, ULONG count, USHORT vendorId, USHORT productId)
{
    for (ULONG i = 0; i < count; ++i)
        if (rows[i].VendorId == vendorId && productId >= rows[i].FirstProduct &&
            productId <= rows[i].LastProduct)
            return &rows[i];
    return nullptr;
}

} // namespace

// ---- Selection and creation ---------------------------------------------------------------------------
NTSTATUS ReadVendorOtherByte(IUsbLowerRequests *lower, UCHAR request, USHORT value, USHORT index, ULONG tag,
                             PUCHAR byte)
{
    if (!lower)
        return STATUS_UNSUCCESSFUL;
    PURB urb = static_cast<PURB>(AllocPoolZeroed(sizeof(URB), NonPagedPool, tag));
    PUCHAR answer = urb ? static_cast<PUCHAR>(AllocPoolZeroed(1, NonPagedPool, tag)) : nullptr;
    if (!answer)
    {
        FreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_OTHER, USHORT(sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, request, value, index,
                          answer, nullptr, 1, nullptr);
    NTSTATUS status = lower->SubmitUrb(urb);
    if (NT_SUCCESS(status) &&
        (!USBD_SUCCESS(urb->UrbHeader.Status) || urb->UrbControlVendorClassRequest.TransferBufferLength != 1))
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
        *byte = *answer;
    FreePool(answer);
    FreePool(urb);
    return status;
}

NTSTATUS ReadIdentificationString(IUsbLowerRequests *lower, USB_STRING_TEXT *text)
{
    NTSTATUS status = UsbReadString(lower, USB_ID_STRING_INDEX, kLanguage, USB_ID_STRING_BYTES,
                                    USB_ID_STRING_BYTES, PoolTag::pmet, PoolTag::pmet, text);
    if (!NT_SUCCESS(status) && status != STATUS_INSUFFICIENT_RESOURCES)
        status = UsbReadString(lower, USB_ID_STRING_FALLBACK_INDEX, kLanguage, USB_ID_STRING_BYTES,
                               USB_ID_STRING_BYTES, PoolTag::pmet, PoolTag::pmet, text);
    return status;
}

UsbAudioDeviceClass SelectUac1DeviceClass(const USB_STRING_TEXT *text, USHORT vendorId, USHORT productId)
{
    for (ULONG i = 0; text && i < kIdStringRowCount; ++i)
        if (TextBeginsWith(text, kIdStringRows[i].Prefix))
            return kIdStringRows[i].DeviceClass;
    if (FindProductRow(kGrueRows, kGrueRowCount, vendorId, productId))
        return UsbAudioDeviceClass::Grue;
    return UsbAudioDeviceClass::Uac1;
}

UsbAudioDeviceClass SelectUac1DeviceClass(const UCHAR *stringBytes, ULONG bytesReturned, BOOLEAN stringRead,
                                          USHORT vendorId, USHORT productId)
{
    ULONG characters = 0;
    const BOOLEAN readable =
        stringRead && stringBytes &&
        NT_SUCCESS(UsbCheckStringDescriptor(stringBytes, bytesReturned, bytesReturned, &characters));
    for (ULONG i = 0; readable && i < kIdStringRowCount; ++i)
        if (UnitsBeginWith(stringBytes + 2, characters, kIdStringRows[i].Prefix))
            return kIdStringRows[i].DeviceClass;
    return SelectUac1DeviceClass(static_cast<const USB_STRING_TEXT *>(nullptr), vendorId, productId);
}

NTSTATUS CreateUsbAudioDevice(UsbAudioDeviceClass deviceClass, PUNKNOWN outer, USHORT vendorId,
                              USHORT productId, POOL_TYPE poolType, PUNKNOWN *device)
{
    if (!device)
        return STATUS_INVALID_PARAMETER;
    *device = nullptr;
    const ULONG tag = UsbAudioClassTag(deviceClass);
    CUsbAudioDevice *object = nullptr;
    switch (deviceClass)
    {
    case UsbAudioDeviceClass::Uac2:
        object = new (poolType, tag) CUac2Device(outer, vendorId, productId);
        break;
    case UsbAudioDeviceClass::Mirk:
        object = new (poolType, tag) CUac1DeviceMirk(outer, vendorId, productId);
        break;
    case UsbAudioDeviceClass::Dova:
        object = new (poolType, tag) CUac1DeviceDova(outer, vendorId, productId);
        break;
    case UsbAudioDeviceClass::Tesh:
        object = new (poolType, tag) CUac1DeviceTesh(outer, vendorId, productId);
        break;
    case UsbAudioDeviceClass::Plon:
        object = new (poolType, tag) CUac1DevicePlon(outer, vendorId, productId);
        break;
    case UsbAudioDeviceClass::Grue:
        object = new (poolType, tag) CUac1DeviceGrue(outer, vendorId, productId);
        break;
    default:
        object = new (poolType, tag) CUac1Device(outer, vendorId, productId);
        break;
    }
    if (!object)
        return STATUS_INSUFFICIENT_RESOURCES;
    *device = object->NonDelegatingUnknown();
    (*device)->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CreateUsbAudioDeviceForProtocol(UCHAR protocol, IUsbLowerRequests *lower, PUNKNOWN outer,
                                         USHORT vendorId, USHORT productId, PUNKNOWN *device)
{
    if (!device)
        return STATUS_INVALID_PARAMETER;
    *device = nullptr;
    if (protocol == USB_AUDIO_PROTOCOL_UAC2)
        return CreateUsbAudioDevice(UsbAudioDeviceClass::Uac2, outer, vendorId, productId, NonPagedPool,
                                    device);
    if (protocol != 0)
    {
        DbgPrint("CreateDeviceObject unsupported protocol %u\n", unsigned(protocol));
        return STATUS_UNSUCCESSFUL;
    }
    USB_STRING_TEXT text = {};
    const NTSTATUS read = ReadIdentificationString(lower, &text);
    if (read == STATUS_INSUFFICIENT_RESOURCES)
        return read;
    const UsbAudioDeviceClass deviceClass =
        SelectUac1DeviceClass(NT_SUCCESS(read) ? &text : nullptr, vendorId, productId);
    UsbFreeString(&text);
    return CreateUsbAudioDevice(deviceClass, outer, vendorId, productId, NonPagedPool, device);
}

// ---- The shared device object -------------------------------------------------------------------------
CUsbAudioDevice::CUsbAudioDevice(PUNKNOWN outer, UsbAudioDeviceClass deviceClass, USHORT vendorId,
                                 USHORT productId)
    : CAudioHal(outer), m_DeviceClass(deviceClass), m_VendorId(vendorId), m_ProductId(productId),
      m_Tag(UsbAudioClassTag(deviceClass)), m_Lower(nullptr), m_Thread(nullptr), m_InterfaceInfo(nullptr),
      m_StatusPipeIndex(0xFF), m_SecondPipeIndex(0xFF), m_Initialised(FALSE)
{
    KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_ExitEvent, NotificationEvent, FALSE);
}

// The worker thread ends first, as it uses the units; the model releases its units before the
// CAudioHal part releases the nodes they point at.
CUsbAudioDevice::~CUsbAudioDevice()
{
    EndThread();
}

NTSTATUS CUsbAudioDevice::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (AnswersFunction() && IsEqualId(iid, IID_IUsbAudioFunction))
        return AnswerInterface(iid, object, static_cast<IAudioHal *>(this),
                               {{IID_IUsbAudioFunction, static_cast<IUsbAudioFunction *>(this)}});
    return CAudioHal::NonDelegatingQueryInterface(iid, object);
}

UsbAudioFunctionInputs CUsbAudioDevice::Inputs() const
{
    return UsbAudioFunctionInputs{m_DeviceClass, m_VendorId, m_ProductId, {}, FALSE};
}

PFN_CREATE_STREAM CUsbAudioDevice::StreamCreator() const
{
    return CreateUac1Stream;
}

void CUsbAudioDevice::SetCapabilities(ULONG mask, ULONG second, ULONG third)
{
    RtlZeroMemory(m_StreamInfo, sizeof(m_StreamInfo));
    m_StreamInfo[CAPS_WORD_MASK] = mask;
    m_StreamInfo[CAPS_WORD_SECOND] = second;
    m_StreamInfo[CAPS_WORD_THIRD] = third;
}

NTSTATUS CUsbAudioDevice::Init(PVOID unused, PDEVICE_OBJECT deviceObject, PVOID lowerDevice,
                               PVOID physicalDevice)
{
    if (m_Initialised)
        return STATUS_UNSUCCESSFUL; // one start per object: the walks build the graph once
    m_Initialised = TRUE;
    if (!m_Lower)
    {
        // The adapter outlives its device object, so no reference is kept.
        if (IUsbLowerRequests *lower = QueryAs<IUsbLowerRequests>(GetOuterUnknown(), IID_IUsbLowerRequests))
        {
            m_Lower = lower;
            lower->Release();
        }
    }
    const NodeSettings settings{deviceObject, &SettingsValue};
    NTSTATUS status =
        m_Model.Init(Inputs(), this, GetOuterUnknown(), m_Lower, settings, UnitCreator(), StreamCreator());
    if (!NT_SUCCESS(status))
        return status;
    return CAudioHal::Init(unused, deviceObject, lowerDevice, physicalDevice);
}

NTSTATUS CUsbAudioDevice::StartHardware()
{
    NTSTATUS status = DetectCapabilities();
    if (NT_SUCCESS(status))
    {
        m_Model.SetInputs(Inputs()); // what detection found changes what the walks build
        status = m_Model.ParseControlFromConfig(m_Lower);
    }
    if (NT_SUCCESS(status))
        status = m_Model.ParseStreamingFromConfig(m_Lower);
    if (NT_SUCCESS(status) && m_DeviceClass != UsbAudioDeviceClass::Uac2)
        status = OnPowerUp();
    return status;
}

NTSTATUS CUsbAudioDevice::GetStreamInfo(ULONG index, PULONG words)
{
    if (!words)
        return STATUS_INVALID_PARAMETER;
    const ULONG count = GetEngineCount();
    IStreamEngine *engine = nullptr;
    if (!count || !NT_SUCCESS(GetEngine(index < count ? index : count - 1, &engine)) || !engine)
    {
        RtlZeroMemory(words, HAL_INFO_WORDS * sizeof(ULONG));
        return STATUS_UNSUCCESSFUL;
    }
    return GetTerminalCapabilities(engine->GetEngineId(), engine->GetTerminalType(), words);
}

void CUsbAudioDevice::PowerChangeState(POWER_STATE newState)
{
    const DEVICE_POWER_STATE state = newState.DeviceState;
    if (state < PowerDeviceD0 || state > PowerDeviceD3 || state == m_PowerState)
        return;
    if (state == PowerDeviceD0 && m_DeviceClass != UsbAudioDeviceClass::Uac2)
        if (NTSTATUS status = OnPowerUp(); !NT_SUCCESS(status))
            DbgPrint("PowerChangeState OnPowerUp failed 0x%08X\n", unsigned(status));
    CAudioHal::PowerChangeState(newState); // stores the state; D0 restores every node's values
    IStreamEngine *engine = nullptr;
    for (ULONG i = 0; NT_SUCCESS(GetEngine(i, &engine)) && engine; ++i)
    {
        if (!NT_SUCCESS(engine->ReservedOperation(reinterpret_cast<PVOID>(ULONG_PTR(state)), nullptr)))
            break;
        if (state == PowerDeviceD0)
            if (NTSTATUS status = RegisterEngine(engine); !NT_SUCCESS(status))
                DbgPrint("PowerChangeState register engine %u failed 0x%08X\n", unsigned(i),
                         unsigned(status));
    }
    if (state == PowerDeviceD0)
        StartAll();
    else
        StopAll();
}

NTSTATUS CUsbAudioDevice::RegisterEngine(IStreamEngine *engine)
{
    return engine->UpdateRegistration(m_DeviceObject, nullptr, GetOuterUnknown());
}

NTSTATUS CUsbAudioDevice::RegisterAllEngines()
{
    NTSTATUS result = STATUS_SUCCESS;
    IStreamEngine *engine = nullptr;
    for (ULONG i = 0; NT_SUCCESS(GetEngine(i, &engine)) && engine; ++i)
        if (NTSTATUS status = RegisterEngine(engine); !NT_SUCCESS(status) && NT_SUCCESS(result))
            result = status;
    return result;
}

void CUsbAudioDevice::AnnounceChange(ULONG nodeId)
{
    ControlChangeMessage message = MakeControlChangeMessage(nodeId);
    if (m_CallbackObject)
        ExNotifyCallback(m_CallbackObject, &message, nullptr);
}

namespace
{

// Whether the engine's first state node reports a change; the flag is cleared when it does.
BOOLEAN TakeStateChange(IStreamEngine *engine)
{
    IAudioNode *node = nullptr;
    for (ULONG i = 0; NT_SUCCESS(engine->GetNode(i, &node)) && node; ++i)
    {
        if (node->GetKind() != NODE_KIND_STATE)
            continue;
        INodeState *state = QueryAs<INodeState>(node, IID_INodeState);
        const BOOLEAN changed = state && state->IsChanged();
        if (changed)
            state->ClearChanged();
        if (state)
            state->Release();
        return changed;
    }
    return FALSE;
}

BOOLEAN SameName(PCWSTR a, PCWSTR b)
{
    for (; *a && *a == *b; ++a, ++b)
        ;
    return *a == *b;
}

} // namespace

NTSTATUS CUsbAudioDevice::NamePins(ULONG unitId)
{
    if (!GetEngineCount())
        return STATUS_UNSUCCESSFUL;
    IStreamEngine *engine = nullptr;
    for (ULONG i = 0; NT_SUCCESS(GetEngine(i, &engine)) && engine; ++i)
        if (TakeStateChange(engine))
            if (NTSTATUS status = RenameEngine(engine, unitId); !NT_SUCCESS(status))
                return status;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::RenameEngine(IStreamEngine *engine, ULONG unitId)
{
    NTSTATUS status = engine->Unregister(m_DeviceObject);
    if (!NT_SUCCESS(status))
        return status;
    auto *name = static_cast<PWSTR>(AllocPoolZeroed(HAL_NAME_BUFFER_BYTES, PagedPool, PoolTag::Temp));
    if (!name)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The smallest number no other engine's name carries for the same direction and base name; the
    // other engines are at most the count, so the search ends.
    const ULONG count = GetEngineCount();
    PCWSTR format = engine->GetEngineId() != 0 ? u"%sIn%02d" : u"%sOut%02d";
    PCWSTR base = FilterTypeName(engine->GetTerminalType());
    WCHAR other[ENGINE_NAME_CHARS];
    for (ULONG number = 0; number <= count; ++number)
    {
        status = RtlStringCbPrintfW(name, HAL_NAME_BUFFER_BYTES, format, base, number);
        if (!NT_SUCCESS(status))
            break;
        BOOLEAN taken = FALSE;
        IStreamEngine *peer = nullptr;
        for (ULONG i = 0; !taken && NT_SUCCESS(GetEngine(i, &peer)) && peer; ++i)
        {
            other[0] = 0;
            taken = peer != engine && NT_SUCCESS(peer->GetName(other)) && SameName(other, name);
        }
        if (!taken)
            break;
    }
    if (NT_SUCCESS(status))
        status = engine->SetName(name);
    FreePool(name);
    return NT_SUCCESS(status) ? AfterRename(engine, unitId) : status;
}

NTSTATUS CUsbAudioDevice::AfterRename(IStreamEngine *engine, ULONG)
{
    return RegisterEngine(engine);
}

// Reloads every node of a unit; the nodes whose reload succeeded are announced unless `announce` is
// FALSE. Returns the unit's kind through `kind`.
static NTSTATUS ReloadUnit(CUsbAudioFunctionModel &model, ULONG unitId, PULONG kind, PULONG reloaded,
                           ULONG *ids, ULONG room)
{
    IUsbAudioUnit *unit = nullptr;
    NTSTATUS status = model.FindUnitById(unitId, &unit);
    if (!NT_SUCCESS(status))
        return status;
    IAudioNode *self = QueryAs<IAudioNode>(unit, IID_IAudioNode);
    *kind = self ? self->GetKind() : 0;
    if (self)
        self->Release();
    *reloaded = 0;
    IAudioNode *node = nullptr;
    for (ULONG i = 0; NT_SUCCESS(unit->GetUnitNode(i, &node)) && node; ++i)
        if (NT_SUCCESS(node->Refresh()) && *reloaded < room)
            ids[(*reloaded)++] = node->GetId();
    return STATUS_SUCCESS;
}

// ---- Class 1.0 ----------------------------------------------------------------------------------------
CUac1Device::CUac1Device(PUNKNOWN outer, USHORT vendorId, USHORT productId, UsbAudioDeviceClass deviceClass)
    : CUsbAudioDevice(outer, deviceClass, vendorId, productId)
{
}

NTSTATUS CUac1Device::DetectCapabilities()
{
    SetCapabilities(0, 0, 0);
    USB_STRING_TEXT text = {};
    NTSTATUS status = ReadIdentificationString(m_Lower, &text);
    if (!NT_SUCCESS(status))
    {
        const CapsRow *row = FindProductRow(kStringlessRows, kStringlessRowCount, m_VendorId, m_ProductId);
        if (!row)
        {
            DbgPrint("StartHardware identification string 0x%02X or 0x%02X not readable 0x%08X\n",
                     unsigned(USB_ID_STRING_INDEX), unsigned(USB_ID_STRING_FALLBACK_INDEX), unsigned(status));
            return status;
        }
        SetCapabilities(row->Mask, row->Second, row->Third);
        return STATUS_SUCCESS;
    }
    if (TextBeginsWith(&text, kHuldPrefix))
    {
        UCHAR revision = 0;
        if (NT_SUCCESS(ReadVendorOtherByte(m_Lower, 0x02, 0x51, 0, m_Tag, &revision)) &&
            revision == kHuldRevision)
        {
            ULONG mask = kHuldMask, third = 0;
            if (const HuldRow *row = FindProductRow(kHuldRows, kHuldRowCount, m_VendorId, m_ProductId))
            {
                mask = (mask & row->MaskAnd) | row->MaskOr;
                third &= row->ThirdAnd;
            }
            SetCapabilities(mask, 0, third);
        }
    }
    else if (TextBeginsWith(&text, kSvq4rtPrefix))
    {
        // A failed read leaves its byte 0, which no row accepts.
        UCHAR a = 0, b = 0;
        ReadVendorOtherByte(m_Lower, 0x00, 0x1A, 0, m_Tag, &a);
        ReadVendorOtherByte(m_Lower, 0x00, 0x20, 0, m_Tag, &b);
        status = STATUS_UNSUCCESSFUL;
        for (ULONG i = 0; i < kSvq4rtRowCount && !(b & 0x02); ++i)
            if ((a & 0x0E) == kSvq4rtRows[i].ModelBits)
            {
                m_StreamInfo[CAPS_WORD_MASK] = kSvq4rtRows[i].Mask;
                if (kSvq4rtRows[i].SetsThird)
                    m_StreamInfo[CAPS_WORD_THIRD] = kSvq4rtRows[i].Third;
                status = STATUS_SUCCESS;
            }
        if (!NT_SUCCESS(status))
            DbgPrint("StartHardware unknown model 0x%02X 0x%02X\n", unsigned(a), unsigned(b));
    }
    UsbFreeString(&text);
    return status;
}

NTSTATUS CUac1Device::GetTerminalCapabilities(ULONG direction, ULONG typeIndex, PULONG words)
{
    if (!words)
        return STATUS_UNSUCCESSFUL;
    RtlZeroMemory(words, HAL_INFO_WORDS * sizeof(ULONG));
    const ULONG mask = m_StreamInfo[CAPS_WORD_MASK];
    const ULONG third = m_StreamInfo[CAPS_WORD_THIRD];
    if (m_VendorId == SalvineVendorId && m_ProductId == 0x0058)
    {
        words[CAPS_WORD_MASK] = mask | (direction == 1 && typeIndex == 7 ? 0x800000 : 0);
        words[CAPS_WORD_THIRD] = third;
    }
    else if (typeIndex != TERMINAL_TYPE_SPDIF)
    {
        words[CAPS_WORD_MASK] = mask;
        words[CAPS_WORD_SECOND] = m_StreamInfo[CAPS_WORD_SECOND];
        words[CAPS_WORD_THIRD] = third;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUac1Device::RefreshUnit(ULONG unitId)
{
    ULONG kind = 0, reloaded = 0, ids[UAC_MAX_UNIT_NODES];
    NTSTATUS status = ReloadUnit(m_Model, unitId, &kind, &reloaded, ids, UAC_MAX_UNIT_NODES);
    if (!NT_SUCCESS(status))
        return status;
    if (kind == kTerminalKindInput || kind == kTerminalKindOutput)
        return RegisterAllEngines();
    for (ULONG i = 0; i < reloaded; ++i)
        AnnounceChange(ids[i]);
    return STATUS_SUCCESS;
}

// ---- The plain chip families ------------------------------------------------------------------------
CUac1DeviceDova::CUac1DeviceDova(PUNKNOWN outer, USHORT vendorId, USHORT productId)
    : CUac1InternalFunction(outer, vendorId, productId, UsbAudioDeviceClass::Dova)
{
}

NTSTATUS CUac1DeviceDova::DetectCapabilities()
{
    SetCapabilities(kDovaMask, kDovaSecond, 0);
    return STATUS_SUCCESS;
}

CUac1DeviceTesh::CUac1DeviceTesh(PUNKNOWN outer, USHORT vendorId, USHORT productId)
    : CUac1InternalFunction(outer, vendorId, productId, UsbAudioDeviceClass::Tesh)
{
}

NTSTATUS CUac1DeviceTesh::DetectCapabilities()
{
    const CapsRow *row = FindProductRow(&kTeshRow, 1, m_VendorId, m_ProductId);
    SetCapabilities(row ? row->Mask : kTeshDefaultMask, 0, 0);
    return STATUS_SUCCESS;
}

CUac1DevicePlon::CUac1DevicePlon(PUNKNOWN outer, USHORT vendorId, USHORT productId)
    : CUac1InternalFunction(outer, vendorId, productId, UsbAudioDeviceClass::Plon)
{
}

NTSTATUS CUac1DevicePlon::DetectCapabilities()
{
    SetCapabilities(kPlonMask, 0, 0);
    return STATUS_SUCCESS;
}

CUac1DeviceGrue::CUac1DeviceGrue(PUNKNOWN outer, USHORT vendorId, USHORT productId)
    : CUac1InternalFunction(outer, vendorId, productId, UsbAudioDeviceClass::Grue)
{
}

NTSTATUS CUac1DeviceGrue::DetectCapabilities()
{
    const CapsRow *row = FindProductRow(kGrueRows, kGrueRowCount, m_VendorId, m_ProductId);
    if (!row)
        row = &kGrueDefault;
    SetCapabilities(row->Mask, row->Second, row->Third);
    return STATUS_SUCCESS;
}

// Each family's feature units map levels their own way; Plon's speaker terminal carries its jacks and
// the effect parameter node.
PFN_CREATE_UNIT CUac1DeviceDova::UnitCreator() const
{
    return CreateDovaUnit;
}
PFN_CREATE_UNIT CUac1DeviceTesh::UnitCreator() const
{
    return CreateTeshUnit;
}
PFN_CREATE_UNIT CUac1DevicePlon::UnitCreator() const
{
    return CreatePlonUnit;
}
PFN_CREATE_UNIT CUac1DeviceGrue::UnitCreator() const
{
    return CreateGrueUnit;
}

// ---- Class 2.0 ----------------------------------------------------------------------------------------
CUac2Device::CUac2Device(PUNKNOWN outer, USHORT vendorId, USHORT productId)
    : CUsbAudioDevice(outer, UsbAudioDeviceClass::Uac2, vendorId, productId), m_Chip(Chip::None)
{
}

NTSTATUS CUac2Device::DetectCapabilities()
{
    SetCapabilities(0, 0, 0);
    USB_STRING_TEXT text = {};
    NTSTATUS status = UsbReadString(m_Lower, USB_ID_STRING_FALLBACK_INDEX, kLanguage, USB_ID_STRING_BYTES,
                                    USB_ID_STRING_BYTES, PoolTag::pmet, PoolTag::pmet, &text);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("StartHardware identification string 0x%02X not readable 0x%08X\n",
                 unsigned(USB_ID_STRING_FALLBACK_INDEX), unsigned(status));
        return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_UNSUCCESSFUL;
    }
    status = STATUS_UNSUCCESSFUL;
    for (ULONG i = 0; i < kUac2ChipRowCount; ++i)
        if (TextBeginsWith(&text, kUac2ChipRows[i].Name))
        {
            m_Chip = kUac2ChipRows[i].Chip;
            SetCapabilities(kUac2ChipRows[i].Mask, 0, kUac2ChipRows[i].Third);
            status = STATUS_SUCCESS;
            break;
        }
    if (!NT_SUCCESS(status))
        DbgPrint("StartHardware unknown chip string\n");
    UsbFreeString(&text);
    return status;
}

NTSTATUS CUac2Device::GetTerminalCapabilities(ULONG direction, ULONG typeIndex, PULONG words)
{
    if (!words)
        return STATUS_UNSUCCESSFUL;
    RtlZeroMemory(words, HAL_INFO_WORDS * sizeof(ULONG));
    const ULONG mask = m_StreamInfo[CAPS_WORD_MASK];
    const ULONG third = m_StreamInfo[CAPS_WORD_THIRD];
    for (ULONG i = 0; i < kUac2FixedCapsRowCount; ++i)
    {
        const FixedCapsRow &row = kUac2FixedCapsRows[i];
        if (row.VendorId != m_VendorId || row.ProductId != m_ProductId)
            continue;
        const ULONG masks[] = {0, row.MaskType1, row.MaskType2, 0, 0, 0, 0, row.MaskType7};
        if (typeIndex == 1 || typeIndex == 2 || typeIndex == 3 || typeIndex == 6 || typeIndex == 7)
        {
            words[CAPS_WORD_MASK] = masks[typeIndex];
            words[CAPS_WORD_THIRD] = row.Third;
        }
        return STATUS_SUCCESS;
    }
    if (m_VendorId == 0x0B05 && m_ProductId == 0x17B1)
    {
        if (typeIndex == 2)
            words[CAPS_WORD_MASK] = 0x603F, words[CAPS_WORD_THIRD] = 3;
        else if (typeIndex == 7)
            words[CAPS_WORD_MASK] = 0x29000;
        return STATUS_SUCCESS;
    }
    if (m_VendorId == SalvineVendorId && m_ProductId == 0x01E1)
    {
        if (typeIndex == 2 || typeIndex == 7 || (typeIndex == 3 && direction == 0))
            words[CAPS_WORD_THIRD] = 2;
        return STATUS_SUCCESS;
    }
    if (direction == 1)
    {
        if (typeIndex == 7 || typeIndex == 11 || typeIndex == 18)
            words[CAPS_WORD_MASK] = mask & 0x28000;
        ULONG value = typeIndex == TERMINAL_TYPE_SPDIF ? 0 : 18;
        if (m_VendorId == 0x0B05 && m_ProductId == 0x180F)
            value &= ~0x2u;
        words[CAPS_WORD_THIRD] = value;
    }
    else if (typeIndex == TERMINAL_TYPE_SPDIF)
        words[CAPS_WORD_THIRD] = GetEngineCount() == 1 ? third : 0;
    else
    {
        words[CAPS_WORD_MASK] = mask & 0x3FE0FF;
        words[CAPS_WORD_THIRD] = third;
    }
    return STATUS_SUCCESS;
}

PFN_CREATE_STREAM CUac2Device::StreamCreator() const
{
    return CreateUac2Stream;
}

NTSTATUS CUac2Device::AfterRename(IStreamEngine *engine, ULONG)
{
    ULONG delayMs = kDefaultMiniportDelayMs;
    if (NT_SUCCESS(
            SettingsValue(m_DeviceObject, SETTINGS_READ, &delayMs, sizeof(delayMs), u"UpdateMiniportDelay")))
    {
        LARGE_INTEGER interval;
        interval.QuadPart = -LONGLONG(delayMs) * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    return RegisterEngine(engine);
}

NTSTATUS CUac2Device::SetUnitValue(ULONG unitId, ULONG controlSelector, ULONG)
{
    ULONG kind = 0, reloaded = 0, ids[UAC_MAX_UNIT_NODES];
    NTSTATUS status = ReloadUnit(m_Model, unitId, &kind, &reloaded, ids, UAC_MAX_UNIT_NODES);
    if (!NT_SUCCESS(status))
        return status;
    if (kind == kTerminalKindInput || kind == kTerminalKindOutput)
        return controlSelector == kConnectorControl ? RegisterAllEngines() : STATUS_SUCCESS;
    for (ULONG i = 0; i < reloaded; ++i)
        AnnounceChange(ids[i]);
    return STATUS_SUCCESS;
}
