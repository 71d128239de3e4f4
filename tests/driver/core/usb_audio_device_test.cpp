// The USB audio device classes on the virtual headsets: which class a device gets, what each class
// detects (row by row against values written out here from the device tables' sources), the Mirk
// chip's registers, quirks and configuration rewrite, endpoint naming, unit refresh, power changes.
#include <gtest/gtest.h>

#include <sim/kernel_sim.h>

#include "driver/base/pool_memory.h"
#include "driver/base/usb_vendor_ids.h"
#include "driver/core/settings.h"
#include "driver/core/usb_audio_device.h"
#include "driver/core/usb_audio_device_tables.h"
#include "support/engine_doubles.h"
#include "usb_fixture.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using usbsim::Bytes;

namespace
{

// Opens a class's detection and capability block; with `scripted` the start adds the given engines,
// nodes and units instead of detecting and walking.
template <class T> class Probe : public T
{
public:
    using T::T;
    NTSTATUS Detect(IUsbLowerRequests *lower, PDEVICE_OBJECT device = nullptr)
    {
        this->m_Lower = lower;
        this->m_DeviceObject = device;
        return this->DetectCapabilities();
    }
    void SetCaps(ULONG mask, ULONG second, ULONG third) { this->SetCapabilities(mask, second, third); }
    void UseLower(IUsbLowerRequests *lower) { this->m_Lower = lower; }

    bool scripted = false;
    std::vector<IStreamEngine *> engines;
    std::vector<IAudioNode *> nodes;
    std::vector<IUsbAudioUnit *> units;
    NTSTATUS StartHardware() override
    {
        if (!scripted)
            return T::StartHardware();
        for (IAudioNode *node : nodes)
            this->AddFilter(node);
        for (IStreamEngine *engine : engines)
            this->AddEngine(engine);
        for (IUsbAudioUnit *unit : units)
            this->Model().AddUnit(unit);
        return STATUS_SUCCESS;
    }
};

template <class T> Probe<T> *MakeProbe(USHORT vendorId, USHORT productId)
{
    auto *probe = new (NonPagedPool, PoolTag::UAC1) Probe<T>(nullptr, vendorId, productId);
    probe->NonDelegatingUnknown()->AddRef();
    return probe;
}
template <class T> void Drop(T *&object)
{
    if (object)
        object->NonDelegatingUnknown()->Release();
    object = nullptr;
}

// The adapter as the device object sees it: its lower requests, and IAudioHal for the engines'
// registration; references are only counted.
class AdapterDouble final : public IUnknown
{
public:
    IUsbLowerRequests *lower = nullptr;
    PUNKNOWN device = nullptr;
    unsigned lowerQueries = 0, failLowerQuery = 0; // the query numbered failLowerQuery is refused
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        if (lower && IsEqualId(iid, IID_IUsbLowerRequests) && ++lowerQueries != failLowerQuery)
        {
            lower->AddRef();
            *object = lower;
            return STATUS_SUCCESS;
        }
        // As the adapter does: the device's graph and the chip's registers are the device's.
        if (device && (IsEqualId(iid, IID_IAudioHal) || IsEqualId(iid, IID_IChipRegisters)))
            return device->QueryInterface(iid, object);
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ULONG(++refs); }
    ULONG Release() override { return ULONG(--refs); }
    LONG refs = 1;
};

// An engine whose name, type and calls the test sees; its first node is a state node whose change
// flag the test sets.
class NamingEngine : public hal_test::FakeEngine
{
public:
    class State : public engine_test::ScriptedState
    {
    public:
        using ScriptedState::ScriptedState;
        bool changed = false;
        BOOLEAN IsChanged() override { return changed; }
        void ClearChanged() override { changed = false; }
    };

    NamingEngine(PUNKNOWN outer, ULONG engineId, ULONG type) : FakeEngine(outer, engineId), type(type)
    {
        state = hal_test::Make<State>(900 + engineId, 0);
        Attach(state);
        state->Release();
    }
    ULONG GetTerminalType() override { return type; }
    NTSTATUS SetName(PCWSTR text) override
    {
        name.clear();
        for (; *text; ++text)
            name += char(*text);
        log.push_back("name " + name);
        return STATUS_SUCCESS;
    }
    NTSTATUS GetName(PWSTR out) override
    {
        size_t i = 0;
        for (; i < name.size(); ++i)
            out[i] = WCHAR(name[i]);
        out[i] = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS Unregister(PDEVICE_OBJECT) override
    {
        log.push_back("unregister");
        return STATUS_SUCCESS;
    }
    NTSTATUS UpdateRegistration(PDEVICE_OBJECT, IRP *, PUNKNOWN adapter) override
    {
        log.push_back("register");
        registeredAt = sim::Now();
        IAudioHal *hal = QueryAs<IAudioHal>(adapter, IID_IAudioHal);
        EXPECT_NE(hal, nullptr) << "registration needs the adapter's audio HAL";
        if (hal)
            hal->Release();
        return registerStatus;
    }
    NTSTATUS ReservedOperation(PVOID first, PVOID second) override
    {
        log.push_back("power " + std::to_string(reinterpret_cast<ULONG_PTR>(first)) + " " +
                      std::to_string(reinterpret_cast<ULONG_PTR>(second)));
        return powerStatus;
    }

    ULONG type;
    State *state; // held by the engine
    std::string name;
    std::vector<std::string> log;
    LONGLONG registeredAt = 0;
    NTSTATUS registerStatus = STATUS_SUCCESS;
    NTSTATUS powerStatus = STATUS_SUCCESS;
};

// A node whose reload succeeds or fails as told.
class ReloadNode : public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    ReloadNode(PUNKNOWN outer, ULONG id, NTSTATUS status)
        : CAudioNodeBase(outer, id, NODE_KIND_LEVEL), status(status)
    {
    }
    NTSTATUS Refresh() override
    {
        ++reloads;
        return status;
    }
    NTSTATUS status;
    int reloads = 0;
};
NTSTATUS ReloadNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IAudioNode *>(this));
}

// A unit with a descriptor ID, a kind (its descriptor subtype) and nodes.
class FakeUnit : public IUsbAudioUnit, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    FakeUnit(PUNKNOWN outer, ULONG id, ULONG kind) : CAudioNodeBase(outer, id, kind) {}
    ~FakeUnit() override { DetachNodes(); }
    NTSTATUS InitUnit(const UCHAR *, ULONG, const UnitContext &) override { return STATUS_SUCCESS; }
    NTSTATUS GetFirstNodeId(PULONG id) override
    {
        *id = nodes.empty() ? 0 : nodes[0]->GetId();
        return STATUS_SUCCESS;
    }
    NTSTATUS LinkSources(ULONG, const ULONG *) override { return STATUS_SUCCESS; }
    void DetachNodes() override
    {
        for (IAudioNode *node : nodes)
            node->Release();
        nodes.clear();
    }
    NTSTATUS GetUnitNode(ULONG index, IAudioNode **node) override
    {
        *node = index < nodes.size() ? nodes[index] : nullptr;
        return *node ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    std::vector<IAudioNode *> nodes; // one reference each
};
NTSTATUS FakeUnit::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IAudioNode *>(this),
                      {{IID_IUsbAudioUnit, static_cast<IUsbAudioUnit *>(this)}});
}

// A string descriptor of `text`; `bLength` 0 means the text's own.
Bytes StringDescriptor(const std::u16string &text, uint8_t bLength = 0)
{
    Bytes b = {uint8_t(bLength ? bLength : 2 + 2 * text.size()), 3};
    for (char16_t c : text)
    {
        b.push_back(uint8_t(c));
        b.push_back(uint8_t(c >> 8));
    }
    return b;
}

UsbAudioDeviceClass Select(const Bytes &descriptor, USHORT vid, USHORT pid)
{
    return SelectUac1DeviceClass(descriptor.data(), ULONG(descriptor.size()), TRUE, vid, pid);
}

class DeviceObjectTest : public UsbLayerTest
{
protected:
    void Plug(std::shared_ptr<usbsim::VirtualDevice> headset)
    {
        Attach(std::move(headset));
        StartHardware();
        adapter.lower = layer.get();
        BindSettings();
    }
    // The settings store finds the device's keys through the functional device object too.
    void BindSettings()
    {
        if (auto instance = sim::registry::FindDevice(pdo))
            sim::registry::BindDevice(fdo, *instance);
    }
    // Creates the class through the factory with the adapter double as outer unknown.
    void Create(UsbAudioDeviceClass deviceClass, USHORT vid, USHORT pid)
    {
        ASSERT_EQ(CreateUsbAudioDevice(deviceClass, &adapter, vid, pid, NonPagedPool, &unknown),
                  STATUS_SUCCESS);
        adapter.device = unknown;
        hal = QueryAs<IAudioHal>(unknown, IID_IAudioHal);
        ASSERT_NE(hal, nullptr);
        hal->Release(); // the adapter's reference, given back at once
    }
    NTSTATUS InitDevice() { return hal->Init(nullptr, fdo, lower, pdo); }
    void Release()
    {
        if (unknown)
            unknown->Release();
        unknown = nullptr;
        hal = nullptr;
        adapter.device = nullptr;
    }
    void TearDown() override
    {
        Release();
        EXPECT_EQ(adapter.refs, 1) << "adapter references not given back";
        if (fdo)
            sim::registry::UnbindDevice(fdo);
        UsbLayerTest::TearDown();
    }
    std::vector<Bytes> RegisterWrites() const
    {
        std::vector<Bytes> out;
        for (const usbsim::Event &e : bus->Log(usbsim::EventKind::RegisterWrite))
            out.push_back(e.data);
        return out;
    }
    void Store(const char *name, ULONG value)
    {
        std::u16string wide(name, name + std::strlen(name));
        ASSERT_EQ(
            SettingsValue(fdo, SETTINGS_WRITE, &value, sizeof value, reinterpret_cast<PCWSTR>(wide.c_str())),
            STATUS_SUCCESS);
    }

    AdapterDouble adapter;
    PUNKNOWN unknown = nullptr;
    IAudioHal *hal = nullptr;
};

// ---- Selection and creation ----------------------------------------------------------------------------
TEST(UsbAudioDeviceSelection, StringRowsThenGruePairsThenTheGenericClass)
{
    const USHORT unlistedVid = 0x1234, unlistedPid = 0x5678;
    EXPECT_EQ(Select(StringDescriptor({0x000B, 0x0005, 0x0050, 0x0001}), unlistedVid, unlistedPid),
              UsbAudioDeviceClass::Mirk);
    EXPECT_EQ(Select(StringDescriptor(u"Dova 7.1"), unlistedVid, unlistedPid), UsbAudioDeviceClass::Dova);
    EXPECT_EQ(Select(StringDescriptor(u"Tesh"), unlistedVid, unlistedPid), UsbAudioDeviceClass::Tesh);
    EXPECT_EQ(Select(StringDescriptor(u"SVQ4RTB2"), unlistedVid, unlistedPid), UsbAudioDeviceClass::Plon);
    EXPECT_EQ(Select(StringDescriptor(u"SVQ4RT"), unlistedVid, unlistedPid), UsbAudioDeviceClass::Uac1);
    EXPECT_EQ(Select(StringDescriptor(u"dova"), unlistedVid, unlistedPid), UsbAudioDeviceClass::Uac1);
    // Only the characters the device gave count: bLength or the bytes returned may cut the text.
    EXPECT_EQ(Select(StringDescriptor(u"Dova", 8), unlistedVid, unlistedPid), UsbAudioDeviceClass::Uac1);
    Bytes cut = StringDescriptor(u"Dova");
    cut.resize(9);
    EXPECT_EQ(Select(cut, unlistedVid, unlistedPid), UsbAudioDeviceClass::Uac1);
    EXPECT_EQ(Select(StringDescriptor(u"Tes"), unlistedVid, unlistedPid), UsbAudioDeviceClass::Uac1);
    Bytes wrongType = StringDescriptor(u"Dova");
    wrongType[1] = 2;
    EXPECT_EQ(Select(wrongType, unlistedVid, unlistedPid), UsbAudioDeviceClass::Uac1);

    // Grue: the explicit vendor/product pairs of its table, when no string row matched or none was read.
    const std::vector<std::pair<USHORT, USHORT>> grue = {
        {0x17EF, 0x6073}, {0x264A, 20483}, {0x2B0D, 0x80},  {0x2B0D, 0x84}, {0x2B0D, 0x87}, {0x2B0D, 0x8F},
        {0x2B0D, 0x86},   {0x5A4C, 0x161}, {0x5A4C, 0x166}, {0x2D99, 0x24}, {0x12CF, 0x801}};
    for (auto [vid, pid] : grue)
    {
        EXPECT_EQ(SelectUac1DeviceClass(nullptr, 0, FALSE, vid, pid), UsbAudioDeviceClass::Grue)
            << vid << "/" << pid;
        EXPECT_EQ(Select(StringDescriptor(u"Headset"), vid, pid), UsbAudioDeviceClass::Grue);
        EXPECT_EQ(Select(StringDescriptor(u"Tesh"), vid, pid), UsbAudioDeviceClass::Tesh);
    }
    for (auto [vid, pid] : std::vector<std::pair<USHORT, USHORT>>{{0x2B0D, 0x85},
                                                                  {0x2B0D, 0x7F},
                                                                  {0x2B0D, 0x90},
                                                                  {0x5A4C, 0x162},
                                                                  {0x17EF, 0x6074},
                                                                  {0x12CF, 0x800}})
        EXPECT_EQ(SelectUac1DeviceClass(nullptr, 0, FALSE, vid, pid), UsbAudioDeviceClass::Uac1)
            << vid << "/" << pid;
}

TEST_F(DeviceObjectTest, EachClassAnswersItsOwnInterfacesOnly)
{
    const std::map<UsbAudioDeviceClass, bool> answersFunction = {
        {UsbAudioDeviceClass::Uac1, true},  {UsbAudioDeviceClass::Uac2, true},
        {UsbAudioDeviceClass::Mirk, true},  {UsbAudioDeviceClass::Dova, false},
        {UsbAudioDeviceClass::Tesh, false}, {UsbAudioDeviceClass::Plon, false},
        {UsbAudioDeviceClass::Grue, false}};
    const GUID unknownIid = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
    for (auto [deviceClass, function] : answersFunction)
    {
        SCOPED_TRACE(int(deviceClass));
        Create(deviceClass, 0x1234, 0x5678);
        for (auto [iid, expected] : std::vector<std::pair<GUID, bool>>{
                 {IID_IUsbAudioFunction, function},
                 {IID_IAudioHal, true},
                 {IID_IAdapterPowerManagement, true},
                 {IID_IUnknown, true},
                 {IID_IChipRegisters, deviceClass == UsbAudioDeviceClass::Mirk},
                 {unknownIid, false}})
        {
            PVOID object = reinterpret_cast<PVOID>(1);
            const NTSTATUS status = unknown->QueryInterface(iid, &object);
            EXPECT_EQ(status, expected ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
            EXPECT_EQ(object != nullptr, expected);
            if (object)
                static_cast<PUNKNOWN>(object)->Release();
        }
        EXPECT_EQ(adapter.refs, 1);
        Release();
    }
    PUNKNOWN none = reinterpret_cast<PUNKNOWN>(1);
    EXPECT_EQ(CreateUsbAudioDeviceForProtocol(0x10, nullptr, &adapter, 1, 2, &none), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(none, nullptr);
}

// ---- Detection -------------------------------------------------------------------------------------------
TEST_F(DeviceObjectTest, GenericDetectionReadsTheStringThenTheChipBytes)
{
    Plug(usbsim::VirtualDevice::Uac1());
    struct Case
    {
        USHORT vid, pid;
        UCHAR revision;
        ULONG mask;
    };
    device->SetString(0x50, u"Huld-X1");
    for (const Case &c : std::vector<Case>{{0x1234, 0x5678, 0x1F, 0x3E10A0},
                                           {0x09DA, 0x2701, 0x1F, 0x3E00A5},
                                           {0x09DA, 0x2702, 0x1F, 0x3E00A5},
                                           {0x09DA, 0x2703, 0x1F, 0x3E00A5},
                                           {0x09DA, 0x2704, 0x1F, 0x3E10A0},
                                           {SalvineVendorId, 0x0065, 0x1F, 0x3E00A0},
                                           {0x251F, 0x3001, 0x1F, 0x3E00A4},
                                           {0x09DA, 0x2702, 0x1E, 0}})
    {
        device->otherReads[0x02u << 16 | 0x51] = {c.revision};
        auto *probe = MakeProbe<CUac1Device>(c.vid, c.pid);
        EXPECT_EQ(probe->Detect(layer.get()), STATUS_SUCCESS);
        EXPECT_EQ(probe->Capabilities()[0], c.mask) << std::hex << c.vid << "/" << c.pid;
        EXPECT_EQ(probe->Capabilities()[6], 0u);
        Drop(probe);
    }

    struct Model
    {
        UCHAR a, b;
        NTSTATUS status;
        ULONG mask, third;
    };
    device->SetString(0x50, u"SVQ4RT-3");
    for (const Model &m : std::vector<Model>{{0x08, 0x00, STATUS_SUCCESS, 0x3E087, 0},
                                             {0x09, 0xFD, STATUS_SUCCESS, 0x3E087, 0},
                                             {0x0E, 0x00, STATUS_SUCCESS, 0x3E087, 2},
                                             {0x08, 0x02, STATUS_UNSUCCESSFUL, 0, 0},
                                             {0x04, 0x00, STATUS_UNSUCCESSFUL, 0, 0}})
    {
        device->otherReads[0x1A] = {m.a};
        device->otherReads[0x20] = {m.b};
        auto *probe = MakeProbe<CUac1Device>(0x1234, 0x5678);
        EXPECT_EQ(probe->Detect(layer.get()), m.status) << int(m.a) << "/" << int(m.b);
        EXPECT_EQ(probe->Capabilities()[0], m.mask);
        EXPECT_EQ(probe->Capabilities()[6], m.third);
        Drop(probe);
    }
    device->otherReads.erase(0x1A); // an unanswered model byte reads as 0
    auto *stalled = MakeProbe<CUac1Device>(0x1234, 0x5678);
    EXPECT_EQ(stalled->Detect(layer.get()), STATUS_UNSUCCESSFUL);
    Drop(stalled);

    // The second string stands in for the first; a string the device cut short names no chip and
    // sends no chip request.
    device->Descriptors().strings.erase(0x50);
    device->SetString(0x32, u"Huld");
    device->otherReads[0x02u << 16 | 0x51] = {0x1F};
    auto *fallback = MakeProbe<CUac1Device>(0x1234, 0x5678);
    EXPECT_EQ(fallback->Detect(layer.get()), STATUS_SUCCESS);
    EXPECT_EQ(fallback->Capabilities()[0], 0x3E10A0u);
    Drop(fallback);
    device->SetRawString(0x50, StringDescriptor(u"Huld", 8));
    bus->ClearLog();
    auto *shortened = MakeProbe<CUac1Device>(0x1234, 0x5678);
    EXPECT_EQ(shortened->Detect(layer.get()), STATUS_SUCCESS);
    EXPECT_EQ(shortened->Capabilities()[0], 0u);
    for (const usbsim::Event &e : Urbs())
        EXPECT_NE(e.function, URB_FUNCTION_VENDOR_OTHER) << e.ToString();
    Drop(shortened);
}

TEST_F(DeviceObjectTest, StringlessDevicesAreKnownByVendorAndProductOrFail)
{
    Plug(usbsim::VirtualDevice::Uac1());
    device->Descriptors().strings.erase(0x50);
    device->Descriptors().strings.erase(0x32);
    struct Case
    {
        USHORT vid, pid;
        bool known;
        ULONG mask, second;
    };
    for (const Case &c : std::vector<Case>{{0x1B1C, 0x0A04, true, 0x24, 0},
                                           {0x047F, 0xD957, true, 0x3C0264, 12},
                                           {0x1B1C, 0x0A05, false, 0, 0}})
    {
        auto *probe = MakeProbe<CUac1Device>(c.vid, c.pid);
        const NTSTATUS status = probe->Detect(layer.get());
        EXPECT_EQ(NT_SUCCESS(status), c.known) << std::hex << status;
        EXPECT_EQ(probe->Capabilities()[0], c.mask);
        EXPECT_EQ(probe->Capabilities()[4], c.second);
        Drop(probe);
    }
}

TEST_F(DeviceObjectTest, ChipFamiliesDetectByTheirTables)
{
    auto check = [](auto *probe, ULONG mask, ULONG second, ULONG third)
    {
        EXPECT_EQ(probe->Detect(nullptr), STATUS_SUCCESS);
        EXPECT_EQ(probe->Capabilities()[0], mask);
        EXPECT_EQ(probe->Capabilities()[4], second);
        EXPECT_EQ(probe->Capabilities()[6], third);
        Drop(probe);
    };
    check(MakeProbe<CUac1DeviceDova>(0x1234, 1), 0x3FE02F, 12, 0);
    check(MakeProbe<CUac1DeviceTesh>(0x1B1C, 0x0A06), 0x24, 0, 0);
    check(MakeProbe<CUac1DeviceTesh>(0x1B1C, 0x0A07), 0xF, 0, 0);
    check(MakeProbe<CUac1DevicePlon>(0x1234, 1), 0x28200, 0, 0);
    struct Grue
    {
        USHORT vid, pid;
        ULONG mask, third;
    };
    for (const Grue &g : std::vector<Grue>{{0x17EF, 0x6073, 0x3E0084, 65},
                                           {0x264A, 20483, 0x3E0084, 0},
                                           {0x2B0D, 0x80, 0x3E0084, 64},
                                           {0x2B0D, 0x84, 0x3E0084, 64},
                                           {0x2B0D, 0x85, 0x3E1084, 0},
                                           {0x2B0D, 0x86, 0x3E1080, 0},
                                           {0x2B0D, 0x87, 0x3E0084, 64},
                                           {0x2B0D, 0x8F, 0x3E0084, 64},
                                           {SalvineVendorId, 0x161, 0x3E0084, 64},
                                           {SalvineVendorId, 0x166, 0x3E0084, 64},
                                           {0x2D99, 0x24, 0x3E0084, 64},
                                           {0x12CF, 0x801, 0x3E0084, 64},
                                           {0x1234, 0x5678, 0x3E1084, 0}})
    {
        SCOPED_TRACE(std::to_string(g.vid) + "/" + std::to_string(g.pid));
        check(MakeProbe<CUac1DeviceGrue>(g.vid, g.pid), g.mask, 0, g.third);
    }
}

TEST_F(DeviceObjectTest, Uac2DetectionNamesTheChipOrRefusesTheDevice)
{
    Plug(usbsim::VirtualDevice::Uac2());
    struct Case
    {
        std::u16string text;
        NTSTATUS status;
        CUac2Device::Chip chip;
        ULONG mask, third;
    };
    for (const Case &c : std::vector<Case>{{u"Vask", STATUS_SUCCESS, CUac2Device::Chip::Vask, 0x3FE06F, 3},
                                           {u"Jorp-2", STATUS_SUCCESS, CUac2Device::Chip::Jorp, 0x3FE0EF, 3},
                                           {u"Frel", STATUS_SUCCESS, CUac2Device::Chip::Frel, 0, 2},
                                           {u"Brix", STATUS_SUCCESS, CUac2Device::Chip::Brix, 0, 2},
                                           {u"Yant", STATUS_SUCCESS, CUac2Device::Chip::Yant, 0, 2},
                                           {u"Vas", STATUS_UNSUCCESSFUL, CUac2Device::Chip::None, 0, 0},
                                           {u"Zelko", STATUS_UNSUCCESSFUL, CUac2Device::Chip::None, 0, 0}})
    {
        device->SetString(0x32, c.text);
        auto *probe = MakeProbe<CUac2Device>(0x1234, 0x9ABC);
        EXPECT_EQ(probe->Detect(layer.get()), c.status);
        EXPECT_EQ(probe->ChipKind(), c.chip);
        EXPECT_EQ(probe->Capabilities()[0], c.mask);
        EXPECT_EQ(probe->Capabilities()[6], c.third);
        Drop(probe);
    }
    device->Descriptors().strings.erase(0x32);
    auto *probe = MakeProbe<CUac2Device>(0x1234, 0x9ABC);
    EXPECT_EQ(probe->Detect(layer.get()), STATUS_UNSUCCESSFUL);
    Drop(probe);
}

TEST_F(DeviceObjectTest, TerminalCapabilitiesFollowTheDeviceRules)
{
    // {direction, type} -> {word 0, word 4, word 6}; every other word stays 0.
    using Answer = std::array<ULONG, 3>;
    auto ask = [](CUsbAudioDevice *device, ULONG direction, ULONG type)
    {
        ULONG words[HAL_INFO_WORDS];
        std::fill(std::begin(words), std::end(words), 0xAAAAAAAAu);
        EXPECT_EQ(device->GetTerminalCapabilities(direction, type, words), STATUS_SUCCESS);
        for (ULONG i : {1, 2, 3, 5, 7})
            EXPECT_EQ(words[i], 0u);
        return Answer{words[0], words[4], words[6]};
    };
    auto uac2 = [&](USHORT vid, USHORT pid, std::vector<std::tuple<ULONG, ULONG, Answer>> cases)
    {
        auto *probe = MakeProbe<CUac2Device>(vid, pid);
        probe->SetCaps(0x3FFFFF, 7, 5);
        for (auto &[direction, type, answer] : cases)
            EXPECT_EQ(ask(probe, direction, type), answer)
                << std::hex << vid << "/" << pid << " " << direction << "," << type;
        EXPECT_EQ(probe->GetTerminalCapabilities(0, 2, nullptr), STATUS_UNSUCCESSFUL);
        Drop(probe);
    };
    uac2(0x0438, 0x0101,
         {{0, 1, {0x3C008E, 0, 0}},
          {1, 2, {0x3C00AE, 0, 0}},
          {0, 3, {0, 0, 0}},
          {0, 6, {0, 0, 0}},
          {1, 7, {0x28200, 0, 0}},
          {0, 4, {0, 0, 0}}});
    uac2(0x0B05, 0x189D,
         {{0, 1, {0x3C0087, 0, 2}},
          {0, 2, {0x3C0026, 0, 2}},
          {0, 3, {0, 0, 2}},
          {1, 7, {0x28000, 0, 2}},
          {0, 8, {0, 0, 0}}});
    uac2(0x0B05, 0x17B1, {{0, 2, {0x603F, 0, 3}}, {1, 7, {0x29000, 0, 0}}, {0, 1, {0, 0, 0}}});
    uac2(SalvineVendorId, 0x01E1,
         {{0, 2, {0, 0, 2}}, {1, 7, {0, 0, 2}}, {0, 3, {0, 0, 2}}, {1, 3, {0, 0, 0}}, {0, 1, {0, 0, 0}}});
    uac2(0x1234, 0x9ABC,
         {{1, 7, {0x28000, 0, 18}},
          {1, 11, {0x28000, 0, 18}},
          {1, 18, {0x28000, 0, 18}},
          {1, 2, {0, 0, 18}},
          {1, 3, {0, 0, 0}},
          {0, 2, {0x3FE0FF, 0, 5}},
          {0, 3, {0, 0, 0}}}); // type 3 of a device without exactly one engine
    uac2(0x0B05, 0x180F, {{1, 7, {0x28000, 0, 16}}});

    auto *uac1 = MakeProbe<CUac1Device>(0x1234, 0x5678);
    uac1->SetCaps(0x3E10A0, 12, 3);
    EXPECT_EQ(ask(uac1, 1, 7), (Answer{0x3E10A0, 12, 3}));
    EXPECT_EQ(ask(uac1, 0, 3), (Answer{0, 0, 0}));
    EXPECT_EQ(uac1->GetTerminalCapabilities(0, 2, nullptr), STATUS_UNSUCCESSFUL);
    Drop(uac1);
    auto *salvine = MakeProbe<CUac1Device>(SalvineVendorId, 0x0058);
    salvine->SetCaps(0x3E10A0, 12, 3);
    EXPECT_EQ(ask(salvine, 1, 7), (Answer{0xBE10A0, 0, 3}));
    EXPECT_EQ(ask(salvine, 0, 7), (Answer{0x3E10A0, 0, 3}));
    EXPECT_EQ(ask(salvine, 0, 3), (Answer{0x3E10A0, 0, 3}));
    Drop(salvine);
}

// ---- Whole devices ---------------------------------------------------------------------------------------
TEST_F(DeviceObjectTest, Uac1DeviceStartsWalksAndReportsItsStreams)
{
    Plug(usbsim::VirtualDevice::Uac1());
    device->SetString(0x50, u"Huld");
    device->otherReads[0x02u << 16 | 0x51] = {0x1F};
    Create(UsbAudioDeviceClass::Uac1, device->VendorId(), device->ProductId());
    ULONG words[HAL_INFO_WORDS] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(hal->GetStreamInfo(0, words), STATUS_UNSUCCESSFUL) << "no engines before the start";
    for (ULONG w : words)
        EXPECT_EQ(w, 0u);
    ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
    ASSERT_EQ(hal->GetEngineCount(), 2u);
    EXPECT_GT(hal->GetFilterCount(), 0u);
    EXPECT_EQ(hal->GetStreamInfo(0, words), STATUS_SUCCESS);
    EXPECT_EQ(words[0], 0x3E10A0u);
    EXPECT_EQ(hal->GetStreamInfo(7, words), STATUS_SUCCESS) << "past the end: the last engine";
    IUsbAudioFunction *function = QueryAs<IUsbAudioFunction>(unknown, IID_IUsbAudioFunction);
    ASSERT_NE(function, nullptr);
    EXPECT_NE(function->GetHalCallbackObject(), nullptr);
    EXPECT_EQ(function->OnPowerUp(), STATUS_SUCCESS);
    function->Release();
    EXPECT_EQ(hal->Init(nullptr, fdo, lower, pdo), STATUS_UNSUCCESSFUL) << "a second start is refused";
}

// The status threads ask their outer object for the lower requests when they start, per transfer
// and when they free their IRP. Each such query refused in turn: StartAll and StopAll still return,
// nothing stays outstanding on the bus, and the thread is gone.
TEST_F(DeviceObjectTest, EachRefusedQueryForTheLowerRequestsStillLetsStatusThreadsStartAndStop)
{
    usbsim::Uac2Options uac2;
    uac2.bulkIn = true;
    for (const bool second : {false, true})
    {
        SCOPED_TRACE(second ? "class 2.0 with a second pipe" : "class 1.0");
        Plug(second ? usbsim::VirtualDevice::Uac2(uac2) : usbsim::VirtualDevice::Uac1());
        if (!second)
        {
            device->SetString(0x50, u"Huld");
            device->otherReads[0x02u << 16 | 0x51] = {0x1F};
        }
        Create(second ? UsbAudioDeviceClass::Uac2 : UsbAudioDeviceClass::Uac1, device->VendorId(),
               device->ProductId());
        ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
        PURB selection = SelectConfiguration();
        ASSERT_NE(selection, nullptr);
        auto *status =
            static_cast<CUsbAudioDevice *>(QueryAs<IUsbAudioFunction>(unknown, IID_IUsbAudioFunction));
        ASSERT_NE(status, nullptr);
        status->Release();
        const unsigned before = adapter.lowerQueries;
        ASSERT_EQ(status->StartAll(), STATUS_SUCCESS);
        sim::RunUntilIdle();
        EXPECT_EQ(bus->PendingTransfers(kPort), second ? 2u : 1u);
        ASSERT_EQ(status->StopAll(), STATUS_SUCCESS);
        const unsigned queries = adapter.lowerQueries - before;
        ASSERT_GE(queries, 2u) << "the pipe selection and the thread ask";
        for (unsigned k = 1; k <= queries; ++k)
        {
            SCOPED_TRACE(k);
            adapter.failLowerQuery = adapter.lowerQueries + k;
            status->StartAll();
            sim::RunUntilIdle();
            EXPECT_EQ(status->StopAll(), STATUS_SUCCESS);
            EXPECT_EQ(bus->PendingTransfers(kPort), 0u);
            EXPECT_FALSE(status->ThreadRuns());
        }
        adapter.failLowerQuery = 0;
        Release();
        ExFreePool(selection);
        Restart();
    }
}

TEST_F(DeviceObjectTest, UnknownUac2ChipAndStringlessUnlistedUac1DoNotStart)
{
    usbsim::Uac2Options options;
    options.chipString = u"Qrst";
    Plug(usbsim::VirtualDevice::Uac2(options));
    Create(UsbAudioDeviceClass::Uac2, device->VendorId(), device->ProductId());
    EXPECT_EQ(InitDevice(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hal->GetEngineCount(), 0u);
    Release();
    Restart();
    Plug(usbsim::VirtualDevice::Uac1());
    Create(UsbAudioDeviceClass::Uac1, device->VendorId(), device->ProductId());
    device->Descriptors().strings.clear();
    EXPECT_FALSE(NT_SUCCESS(InitDevice()));
}

// ---- The Mirk chip ---------------------------------------------------------------------------------------
struct Descriptor
{
    size_t offset;
    uint8_t length, type, subtype, id;
};
// Walks a configuration; every descriptor must lie inside wTotalLength and the last end exactly there.
std::vector<Descriptor> Chain(const Bytes &config)
{
    std::vector<Descriptor> out;
    const size_t total = config[2] | config[3] << 8;
    size_t at = 0;
    while (at < total)
    {
        EXPECT_GE(config[at], 2u) << "at " << at;
        if (config[at] < 2 || at + config[at] > total)
        {
            ADD_FAILURE() << "descriptor at " << at << " runs past wTotalLength " << total;
            break;
        }
        out.push_back({at, config[at], config[at + 1], config[at + 2], config[at + 3]});
        at += config[at];
    }
    return out;
}
bool HasUnit(const std::vector<Descriptor> &chain, uint8_t subtype, uint8_t id)
{
    for (const Descriptor &d : chain)
        if (d.type == 0x24 && d.subtype == subtype && d.id == id)
            return true;
    return false;
}
bool HasInterface(const std::vector<Descriptor> &chain, uint8_t number, uint8_t alternate)
{
    for (const Descriptor &d : chain)
        if (d.type == 4 && d.subtype == number && d.id == alternate)
            return true;
    return false;
}
const Descriptor *Unit(const std::vector<Descriptor> &chain, uint8_t subtype, uint8_t id)
{
    for (const Descriptor &d : chain)
        if (d.type == 0x24 && d.subtype == subtype && d.id == id)
            return &d;
    return nullptr;
}

using Flags = std::array<UCHAR, MIRK_FLAG_COUNT>;
Flags DefaultFlags()
{
    Flags f{};
    f[MIRK_DISABLE_STEREO_MIX_REC_UNIT] = f[MIRK_SUPPORT_HP_OUT] = f[MIRK_SUPPORT_SPDIF_OUT] = 1;
    return f;
}
NTSTATUS Rewrite(Bytes &config, Flags flags)
{
    std::vector<UCHAR> scratch(kMirkScratchBytes);
    return MirkRewriteConfiguration(config.data(), flags.data(), scratch.data());
}
size_t TotalOf(const Bytes &c)
{
    return c[2] | c[3] << 8;
}
size_t HeaderTotalOf(const Bytes &c)
{
    return c[23] | c[24] << 8;
}

TEST(MirkRewrite, DisabledInputsAndMonitorsLeaveAConsistentConfiguration)
{
    const Bytes original = usbsim::BuildChipHeadset().configuration;
    ASSERT_EQ(original.size(), 509u);

    Bytes noInputs = original;
    Flags f = DefaultFlags();
    f[MIRK_DISABLE_MIC_IN_TERMINAL] = f[MIRK_DISABLE_LINE_IN_TERMINAL] = f[MIRK_DISABLE_SPDIF_IN_TERMINAL] =
        1;
    ASSERT_EQ(Rewrite(noInputs, f), STATUS_SUCCESS);
    EXPECT_EQ(TotalOf(noInputs), 301u);
    EXPECT_EQ(HeaderTotalOf(noInputs), 47u);
    auto chain = Chain(noInputs);
    EXPECT_FALSE(HasUnit(chain, 3, 7)) << "record output terminal";
    EXPECT_FALSE(HasUnit(chain, 5, 10)) << "record selector";
    EXPECT_FALSE(HasInterface(chain, 2, 0)) << "capture interface";
    EXPECT_TRUE(HasInterface(chain, 1, 5));

    Bytes noMonitors = original;
    f = DefaultFlags();
    f[MIRK_DISABLE_MIC_IN_AA_UNIT] = f[MIRK_DISABLE_LINE_IN_AA_UNIT] = 1;
    ASSERT_EQ(Rewrite(noMonitors, f), STATUS_SUCCESS);
    EXPECT_EQ(TotalOf(noMonitors), 440u);
    EXPECT_EQ(HeaderTotalOf(noMonitors), 131u);
    chain = Chain(noMonitors);
    EXPECT_FALSE(HasUnit(chain, 4, 5)) << "playback mixer";
    EXPECT_FALSE(HasUnit(chain, 4, 2)) << "stereo-mix unit";
    const Descriptor *feature = Unit(chain, 6, 6);
    ASSERT_NE(feature, nullptr);
    EXPECT_EQ(noMonitors[feature->offset + 4], 1u) << "the feature unit takes terminal 1";
    const Descriptor *selector = Unit(chain, 5, 10);
    ASSERT_NE(selector, nullptr);
    EXPECT_EQ(selector->length, 9u);
    EXPECT_EQ(Bytes(noMonitors.begin() + long(selector->offset) + 4,
                    noMonitors.begin() + long(selector->offset) + 8),
              (Bytes{3, 8, 15, 16}));

    // Eight channels off: a six-channel playback path, the 96 kHz block rewritten.
    Bytes sixChannels = original;
    f = DefaultFlags();
    f[MIRK_DISABLE_8CH_OUT] = 1;
    ASSERT_EQ(Rewrite(sixChannels, f), STATUS_SUCCESS);
    chain = Chain(sixChannels);
    const Descriptor *terminal = Unit(chain, 2, 1);
    ASSERT_NE(terminal, nullptr);
    EXPECT_EQ(sixChannels[terminal->offset + 7], 6u);
    EXPECT_EQ(sixChannels[terminal->offset + 8] | sixChannels[terminal->offset + 9] << 8, 0x003F);
    const Descriptor *mixer = Unit(chain, 4, 5);
    ASSERT_NE(mixer, nullptr);
    // Inputs 1, 9, 11 (6 + 2 + 2 channels) against 6 outputs: 60 bits, 8 bytes of controls.
    EXPECT_EQ(mixer->length, 10u + 3 + 8);
    EXPECT_EQ(
        Bytes(sixChannels.begin() + long(mixer->offset) + 4, sixChannels.begin() + long(mixer->offset) + 11),
        (Bytes{3, 1, 9, 11, 6, 0x3F, 0x00}));
    feature = Unit(chain, 6, 6);
    ASSERT_NE(feature, nullptr);
    EXPECT_EQ(feature->length, 14u);
    EXPECT_EQ(sixChannels[feature->offset + 13], 0u);
    EXPECT_FALSE(HasInterface(chain, 1, 1));
    EXPECT_TRUE(HasInterface(chain, 1, 4));
    long alt5 = -1;
    for (const Descriptor &d : chain)
        if (d.type == 4 && d.subtype == 1 && d.id == 5)
            alt5 = long(d.offset);
    ASSERT_GT(alt5, 0);
    EXPECT_EQ(Bytes(sixChannels.begin() + alt5 + 24, sixChannels.begin() + alt5 + 27),
              (Bytes{0x00, 0x77, 0x01}));
}

TEST(MirkRewrite, AnUnexpectedLayoutOrBothWideModesOffLeaveTheBytesAlone)
{
    const Bytes original = usbsim::BuildChipHeadset().configuration;
    auto refused = [&](Bytes config, Flags flags, const char *what)
    {
        const Bytes before = config;
        EXPECT_EQ(Rewrite(config, flags), STATUS_UNSUCCESSFUL) << what;
        EXPECT_EQ(config, before) << what;
    };
    Flags f = DefaultFlags();
    f[MIRK_DISABLE_6CH_OUT] = f[MIRK_DISABLE_8CH_OUT] = 1;
    refused(original, f, "6 and 8 channels off");
    Bytes shortConfig = original;
    usbsim::Set16(shortConfig, 2, 508);
    refused(shortConfig, DefaultFlags(), "508 bytes");
    Bytes wrongSubtype = original;
    wrongSubtype[144 + 2] = 4;
    refused(wrongSubtype, DefaultFlags(), "a mixer where the selector belongs");
    for (size_t offset : {28u, 72u, 122u, 218u, 411u, 454u})
    {
        Bytes wrongId = original;
        ++wrongId[offset + 3];
        refused(wrongId, DefaultFlags(), "an unexpected ID");
        Bytes wrongLength = original;
        ++wrongLength[offset];
        refused(wrongLength, DefaultFlags(), "an unexpected length");
    }
}

TEST(MirkRewrite, EveryFlagCombinationChainsAndNamesOnlyPresentUnits)
{
    const Bytes original = usbsim::BuildChipHeadset().configuration;
    for (ULONG bits = 0; bits < (1u << MIRK_FLAG_COUNT); bits += 3)
    {
        Flags f{};
        for (ULONG i = 0; i < MIRK_FLAG_COUNT; ++i)
            f[i] = (bits >> i) & 1;
        Bytes config = original;
        const NTSTATUS status = Rewrite(config, f);
        if (f[MIRK_DISABLE_6CH_OUT] && f[MIRK_DISABLE_8CH_OUT])
        {
            ASSERT_EQ(status, STATUS_UNSUCCESSFUL);
            continue;
        }
        ASSERT_EQ(status, STATUS_SUCCESS) << bits;
        const auto chain = Chain(config);
        // The AudioControl descriptors: the class-specific ones before the first streaming interface.
        std::vector<Descriptor> ac;
        for (size_t i = 2; i < chain.size() && chain[i].type == 0x24; ++i)
            ac.push_back(chain[i]);
        size_t control = 0;
        std::vector<uint8_t> ids;
        for (const Descriptor &d : ac)
        {
            control += d.length;
            if (d.subtype != 1)
                ids.push_back(d.id);
        }
        ASSERT_EQ(HeaderTotalOf(config), control) << bits;
        auto present = [&](uint8_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };
        for (const Descriptor &d : ac)
        {
            std::vector<uint8_t> sources;
            const uint8_t *u = &config[d.offset];
            if (d.subtype == 3 || d.subtype == 6)
                sources.push_back(d.subtype == 3 ? u[7] : u[4]);
            else if (d.subtype == 4 || d.subtype == 5)
                sources.assign(u + 5, u + 5 + u[4]);
            for (uint8_t s : sources)
                ASSERT_TRUE(present(s))
                    << "unit " << int(d.id) << " names missing " << int(s) << " flags " << bits;
        }
    }
}

TEST_F(DeviceObjectTest, MirkQuirksByVendorProductAndRevision)
{
    auto chip = usbsim::VirtualDevice::Chip();
    Plug(chip);
    struct Case
    {
        USHORT vid, pid;
        bool revision;
        ULONG mask;
        std::vector<MirkFlag> set, clear;
        USHORT register1;
        bool thread;
    };
    const std::vector<Case> cases = {
        {0x1E7D,
         0x3750,
         true,
         0x3E0084,
         {MIRK_DISABLE_LINE_IN_REC_UNIT, MIRK_DISABLE_STEREO_MIX_REC_UNIT, MIRK_DISABLE_SPDIF_IN_TERMINAL,
          MIRK_DISABLE_4CH_OUT, MIRK_DISABLE_8CH_OUT},
         {MIRK_SUPPORT_HP_OUT, MIRK_SUPPORT_SPDIF_OUT},
         0x3032,
         true},
        {0x1E7D, 0x3750, false, 0x3FE08F, {MIRK_SUPPORT_HP_OUT}, {MIRK_DISABLE_8CH_OUT}, 0x3002, false},
        {0x5131,
         0x001C,
         true,
         0,
         {MIRK_DISABLE_2CH_OUT, MIRK_DISABLE_4CH_OUT, MIRK_DISABLE_8CH_OUT, MIRK_DISABLE_SPDIF_IN_TERMINAL},
         {MIRK_SUPPORT_HP_OUT, MIRK_SUPPORT_SPDIF_OUT},
         0x3002,
         false},
        {0x28DA,
         0x268E,
         false,
         0x3E09F,
         {MIRK_DISABLE_LINE_IN_TERMINAL, MIRK_DISABLE_SPDIF_IN_TERMINAL, MIRK_DISABLE_LINE_IN_AA_UNIT},
         {MIRK_SUPPORT_HP_OUT, MIRK_SUPPORT_SPDIF_OUT, MIRK_DISABLE_8CH_OUT},
         0x3002,
         false},
        {SalvineVendorId,
         0x0163,
         true,
         0x3FE08F,
         {MIRK_DISABLE_LINE_IN_TERMINAL},
         {MIRK_SUPPORT_HP_OUT, MIRK_DISABLE_8CH_OUT},
         0x3002,
         false},
        {SalvineVendorId,
         0x0053,
         true,
         0x3FE08F,
         {MIRK_DISABLE_LINE_IN_TERMINAL, MIRK_DISABLE_8CH_OUT},
         {MIRK_SUPPORT_SPDIF_OUT},
         0x3002,
         false},
        {SalvineVendorId,
         0x0078,
         false,
         0x3FE08F,
         {MIRK_SUPPORT_HP_OUT},
         {MIRK_DISABLE_LINE_IN_TERMINAL, MIRK_DISABLE_8CH_OUT},
         0x3002,
         false},
        {0x0A1B,
         0x0110,
         false,
         0x3FE08F,
         {MIRK_DISABLE_SPDIF_IN_TERMINAL, MIRK_DISABLE_8CH_OUT},
         {MIRK_SUPPORT_HP_OUT},
         0x3002,
         false},
        {0x0A6A,
         0x0160,
         true,
         0x3FE08F,
         {MIRK_DISABLE_LINE_IN_TERMINAL},
         {MIRK_DISABLE_8CH_OUT, MIRK_SUPPORT_SPDIF_OUT},
         0x3002,
         false},
        {0x1234, 0x0001, true, 0x3FE08F, {MIRK_DISABLE_8CH_OUT, MIRK_SUPPORT_HP_OUT}, {}, 0x3002, false},
        {0x1234,
         0x0001,
         false,
         0x3FE08F,
         {MIRK_SUPPORT_HP_OUT, MIRK_DISABLE_STEREO_MIX_REC_UNIT},
         {MIRK_DISABLE_8CH_OUT, MIRK_DISABLE_MIC_IN_TERMINAL},
         0x3002,
         false},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(std::to_string(c.vid) + "/" + std::to_string(c.pid) + (c.revision ? " rev" : ""));
        chip->Registers()[9] = 0x9F;
        chip->Registers()[8] = c.revision ? 0x9F : 0x00; // only bits 0x63 count
        ASSERT_EQ(layer->ReadConfigurationDescriptor(), STATUS_SUCCESS);
        auto *probe = MakeProbe<CUac1DeviceMirk>(c.vid, c.pid);
        EXPECT_EQ(probe->Detect(layer.get(), fdo), STATUS_SUCCESS);
        EXPECT_EQ(probe->MatchingRevision(), c.revision);
        EXPECT_EQ(probe->Capabilities()[0], c.mask);
        for (MirkFlag flag : c.set)
            EXPECT_TRUE(probe->Flag(flag)) << flag;
        for (MirkFlag flag : c.clear)
            EXPECT_FALSE(probe->Flag(flag)) << flag;
        USHORT entry = 0;
        EXPECT_EQ(probe->ReadRegisterEntry(1, &entry), STATUS_SUCCESS);
        EXPECT_EQ(entry, c.register1);
        EXPECT_EQ(probe->StatusThreadWanted(), c.thread);
        Drop(probe);
    }

    // Stored flags: 2-channel playback off also clears both output flags.
    Store("Disable2ChOutSupported", 1);
    Store("DisableStereoMixRecUnit", 0x100); // the flag is the value's low byte
    ASSERT_EQ(layer->ReadConfigurationDescriptor(), STATUS_SUCCESS);
    auto *stored = MakeProbe<CUac1DeviceMirk>(0x1234, 0x0001);
    EXPECT_EQ(stored->Detect(layer.get(), fdo), STATUS_SUCCESS);
    EXPECT_TRUE(stored->Flag(MIRK_DISABLE_2CH_OUT));
    EXPECT_FALSE(stored->Flag(MIRK_SUPPORT_HP_OUT));
    EXPECT_FALSE(stored->Flag(MIRK_SUPPORT_SPDIF_OUT));
    EXPECT_FALSE(stored->Flag(MIRK_DISABLE_STEREO_MIX_REC_UNIT));
    Drop(stored);

    // An unreadable revision register counts as no matching revision; an unreadable mode register
    // ends detection with the configuration untouched.
    chip->Registers()[8] = 0x03;
    ASSERT_EQ(layer->ReadConfigurationDescriptor(), STATUS_SUCCESS);
    usbsim::RequestMatch revisionRead;
    revisionRead.bRequest = 0x81;
    revisionRead.wIndex = 9;
    int fault = bus->InjectFault(kPort, revisionRead, {});
    auto *noRevision = MakeProbe<CUac1DeviceMirk>(0x1E7D, 0x3750);
    EXPECT_EQ(noRevision->Detect(layer.get(), fdo), STATUS_SUCCESS);
    EXPECT_FALSE(noRevision->MatchingRevision());
    EXPECT_EQ(noRevision->Capabilities()[0], 0x3FE08Fu);
    Drop(noRevision);
    bus->ClearFault(fault);
    ASSERT_EQ(layer->ReadConfigurationDescriptor(), STATUS_SUCCESS);
    const Bytes before(reinterpret_cast<const UCHAR *>(layer->GetConfigurationDescriptor()),
                       reinterpret_cast<const UCHAR *>(layer->GetConfigurationDescriptor()) + 509);
    usbsim::RequestMatch modeRead = revisionRead;
    modeRead.wIndex = 8;
    fault = bus->InjectFault(kPort, modeRead, {});
    auto *noMode = MakeProbe<CUac1DeviceMirk>(0x1E7D, 0x3750);
    EXPECT_FALSE(NT_SUCCESS(noMode->Detect(layer.get(), fdo)));
    EXPECT_EQ(Bytes(reinterpret_cast<const UCHAR *>(layer->GetConfigurationDescriptor()),
                    reinterpret_cast<const UCHAR *>(layer->GetConfigurationDescriptor()) + 509),
              before);
    Drop(noMode);
    bus->ClearFault(fault);
}

TEST_F(DeviceObjectTest, MirkRegistersGoOutAsHidReportsAndComeBackOnPowerUp)
{
    Plug(usbsim::VirtualDevice::Chip());
    auto *mirk = MakeProbe<CUac1DeviceMirk>(0x1234, 0x0001);
    mirk->UseLower(layer.get());
    bus->ClearLog();
    ASSERT_EQ(mirk->OnPowerUp(), STATUS_SUCCESS);
    EXPECT_EQ(RegisterWrites(), (std::vector<Bytes>{{0x20, 0x00, 0x00, 0x05},
                                                    {0x20, 0x00, 0x30, 0x05},
                                                    {0x20, 0x04, 0x20, 0x00},
                                                    {0x20, 0x02, 0x30, 0x01},
                                                    {0x20, 0x00, 0xF8, 0x02},
                                                    {0x20, 0x3F, 0x14, 0x03},
                                                    {0x20, 0x00, 0x00, 0x04}}));
    const auto events = bus->Log(usbsim::EventKind::RegisterWrite);
    EXPECT_GE(events[1].time - events[0].time, 10000) << "1 ms between the output-enable writes";

    bus->ClearLog();
    EXPECT_EQ(mirk->WriteRegister(6, 1, 0xFFFF), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(mirk->WriteRegister(1, 0xABCD, 0), STATUS_SUCCESS);
    EXPECT_TRUE(RegisterWrites().empty());
    EXPECT_EQ(mirk->WriteRegister(1, 0xABCD, 0x00F0), STATUS_SUCCESS);
    USHORT entry = 0;
    EXPECT_EQ(mirk->ReadRegisterEntry(1, &entry), STATUS_SUCCESS);
    EXPECT_EQ(entry, 0x30C2);
    EXPECT_EQ(mirk->ReadRegisterEntry(6, &entry), STATUS_UNSUCCESSFUL);
    IChipRegisters *registers = nullptr;
    ASSERT_EQ(mirk->NonDelegatingUnknown()->QueryInterface(IID_IChipRegisters,
                                                           reinterpret_cast<PVOID *>(&registers)),
              STATUS_SUCCESS);
    EXPECT_EQ(registers->WriteRegister(3, 0x1234, 0xFFFF), STATUS_SUCCESS);
    registers->Release();
    EXPECT_EQ(RegisterWrites(), (std::vector<Bytes>{{0x20, 0xC2, 0x30, 0x01}, {0x20, 0x34, 0x12, 0x03}}));

    // A failing write ends the power-up there and keeps the cached value.
    bus->ClearLog();
    usbsim::RequestMatch setReport;
    setReport.bRequest = 0x09;
    usbsim::ControlFault failAfter;
    failAfter.kind = usbsim::FaultKind::FailAfter;
    failAfter.value = 2;
    failAfter.usbdStatus = USBD_STATUS_STALL_PID;
    const int fault = bus->InjectFault(kPort, setReport, failAfter);
    EXPECT_FALSE(NT_SUCCESS(mirk->OnPowerUp()));
    EXPECT_EQ(RegisterWrites().size(), 2u);
    EXPECT_EQ(mirk->ReadRegisterEntry(0, &entry), STATUS_SUCCESS);
    EXPECT_EQ(entry, 0x2004);
    bus->ClearFault(fault);
    Drop(mirk);
}

TEST_F(DeviceObjectTest, MirkDeviceRewritesWalksAndPowersUpOnStart)
{
    usbsim::ChipOptions options;
    options.vendorId = 0x1234;
    options.productId = 0x0001;
    auto chip = usbsim::VirtualDevice::Chip(options);
    chip->Registers()[8] = 0x00;
    Plug(chip);
    Create(UsbAudioDeviceClass::Mirk, 0x1234, 0x0001);
    bus->ClearLog();
    ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
    const PUSB_CONFIGURATION_DESCRIPTOR config = layer->GetConfigurationDescriptor();
    EXPECT_LT(config->wTotalLength, 509u) << "the stereo-mix units are off by default";
    EXPECT_EQ(hal->GetEngineCount(), 2u);
    // Output terminal 3 routes the chip for its jack type (three writes), then the power-up's seven.
    const auto writes = RegisterWrites();
    ASSERT_EQ(writes.size(), 10u);
    EXPECT_EQ(writes[0], (Bytes{0x20, 0x00, 0xE0, 0x02}));
}

// ---- Naming, refresh and power ---------------------------------------------------------------------------
class ScriptedDeviceTest : public DeviceObjectTest
{
protected:
    template <class T> Probe<T> *Start(USHORT vid, USHORT pid, std::vector<NamingEngine *> list)
    {
        auto *probe = MakeProbe<T>(vid, pid);
        probe->scripted = true;
        for (NamingEngine *engine : list)
            probe->engines.push_back(engine);
        probeUnknown = probe->NonDelegatingUnknown();
        BindSettings();
        EXPECT_EQ(probe->Init(nullptr, fdo, nullptr, nullptr), STATUS_SUCCESS);
        return probe;
    }
    NamingEngine *Engine(ULONG id, ULONG type)
    {
        engines.push_back(hal_test::Make<NamingEngine>(id, type));
        return engines.back();
    }
    void TearDown() override
    {
        if (probeUnknown)
            probeUnknown->Release();
        for (NamingEngine *engine : engines)
            engine->Release();
        DeviceObjectTest::TearDown();
    }
    PUNKNOWN probeUnknown = nullptr;
    std::vector<NamingEngine *> engines;
};

TEST_F(ScriptedDeviceTest, NamesTakeTheSmallestFreeNumberPerDirectionAndType)
{
    Attach();
    NamingEngine *a = Engine(0, 2), *b = Engine(0, 2), *mic = Engine(1, 2), *odd = Engine(0, 25);
    auto *dev = Start<CUac2Device>(0x1234, 0x9ABC, {a, b, mic, odd});
    for (NamingEngine *e : engines)
        e->state->changed = true;
    ASSERT_EQ(dev->NamePins(0), STATUS_SUCCESS);
    EXPECT_EQ(a->name, "HPOut00");
    EXPECT_EQ(b->name, "HPOut01");
    EXPECT_EQ(mic->name, "HPIn00");
    EXPECT_EQ(odd->name, "StreamOut00") << "a type past the table names a stream";
    EXPECT_EQ(a->log, (std::vector<std::string>{"unregister", "name HPOut00", "register"}));

    // A jack that changes what it is renames its engine; numbers stay unique.
    a->type = 1;
    a->state->changed = true;
    ASSERT_EQ(dev->NamePins(0), STATUS_SUCCESS);
    EXPECT_EQ(a->name, "SPKOut00");
    EXPECT_EQ(b->log.size(), 3u) << "an unchanged engine is left alone";
    b->state->changed = true;
    ASSERT_EQ(dev->NamePins(0), STATUS_SUCCESS);
    EXPECT_EQ(b->name, "HPOut00");
    a->type = 2;
    a->state->changed = true;
    ASSERT_EQ(dev->NamePins(0), STATUS_SUCCESS);
    EXPECT_EQ(a->name, "HPOut01");

    // A failing registration ends the loop with its status.
    a->state->changed = b->state->changed = true;
    a->registerStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(dev->NamePins(0), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(b->state->changed);
}

TEST_F(ScriptedDeviceTest, Uac2WaitsTheStoredMiniportDelayBeforeRegistering)
{
    Attach();
    NamingEngine *a = Engine(0, 2);
    auto *dev = Start<CUac2Device>(0x1234, 0x9ABC, {a});
    a->state->changed = true;
    LONGLONG before = sim::Now();
    ASSERT_EQ(dev->NamePins(0), STATUS_SUCCESS);
    EXPECT_EQ(a->registeredAt - before, 0) << "nothing stored: no wait";
    Store("UpdateMiniportDelay", 20);
    a->state->changed = true;
    before = sim::Now();
    ASSERT_EQ(dev->NamePins(0), STATUS_SUCCESS);
    EXPECT_EQ(a->registeredAt - before, 20 * 10000);
}

TEST_F(ScriptedDeviceTest, NamingWithoutEnginesFailsAndClass1NumbersTheSameWay)
{
    Attach();
    auto *empty = Start<CUac1Device>(0x1234, 0x5678, {});
    EXPECT_EQ(empty->NamePins(0), STATUS_UNSUCCESSFUL);
    probeUnknown->Release();
    NamingEngine *a = Engine(0, 14), *b = Engine(0, 14);
    auto *dev = Start<CUac1Device>(0x1234, 0x5678, {a, b});
    a->state->changed = b->state->changed = true;
    ASSERT_EQ(dev->NamePins(0), STATUS_SUCCESS);
    EXPECT_EQ(a->name, "HeadSetOut00");
    EXPECT_EQ(b->name, "HeadSetOut01");
}

// Collects the control-change messages a device sends.
struct Messages
{
    static void Callback(PVOID context, PVOID argument1, PVOID)
    {
        const auto *m = static_cast<const ULONG *>(argument1);
        static_cast<Messages *>(context)->got.push_back({m[0], m[1], m[2], m[3]});
    }
    std::vector<std::array<ULONG, 4>> got;
};

TEST_F(ScriptedDeviceTest, RefreshAnnouncesReloadedNodesAndReRegistersForTerminals)
{
    Attach();
    NamingEngine *a = Engine(0, 2), *b = Engine(1, 7);
    // A feature unit whose middle node fails its reload, and an output terminal; made per device,
    // since a device detaches its units' nodes when it goes.
    auto makeFeature = []
    {
        auto *feature = hal_test::Make<FakeUnit>(5, 6);
        feature->nodes = {hal_test::Make<ReloadNode>(20, STATUS_SUCCESS),
                          hal_test::Make<ReloadNode>(21, STATUS_UNSUCCESSFUL),
                          hal_test::Make<ReloadNode>(22, STATUS_SUCCESS)};
        return feature;
    };
    FakeUnit *feature = makeFeature();
    auto *terminal = hal_test::Make<FakeUnit>(3, 3);

    auto probe1 = [&](auto *device, auto refresh)
    {
        Messages messages;
        PVOID registration = nullptr;
        ASSERT_EQ(device->RegisterCallback(&Messages::Callback, &messages, &registration), STATUS_SUCCESS);
        EXPECT_EQ(refresh(device, 5u, 1u), STATUS_SUCCESS);
        EXPECT_EQ(messages.got, (std::vector<std::array<ULONG, 4>>{{1, 1, 20, 0}, {1, 1, 22, 0}}));
        EXPECT_EQ(a->log, std::vector<std::string>{}) << "a unit's change registers nothing";
        messages.got.clear();
        EXPECT_EQ(refresh(device, 3u, 2u), STATUS_SUCCESS);
        EXPECT_TRUE(messages.got.empty());
        EXPECT_EQ(a->log, std::vector<std::string>{"register"});
        EXPECT_EQ(b->log, std::vector<std::string>{"register"});
        EXPECT_EQ(refresh(device, 99u, 2u), STATUS_UNSUCCESSFUL);
        device->UnregisterCallback(registration);
        a->log.clear();
        b->log.clear();
    };
    auto *uac1 = MakeProbe<CUac1Device>(0x1234, 0x5678);
    uac1->scripted = true;
    uac1->engines = {a, b};
    uac1->units = {feature, terminal};
    ASSERT_EQ(uac1->Init(nullptr, fdo, nullptr, nullptr), STATUS_SUCCESS);
    probe1(uac1, [](CUac1Device *d, ULONG unit, ULONG) { return d->RefreshUnit(unit); });
    Drop(uac1);
    feature->Release();
    feature = makeFeature();

    auto *uac2 = MakeProbe<CUac2Device>(0x1234, 0x9ABC);
    uac2->scripted = true;
    uac2->engines = {a, b};
    uac2->units = {feature, terminal};
    ASSERT_EQ(uac2->Init(nullptr, fdo, nullptr, nullptr), STATUS_SUCCESS);
    probe1(uac2,
           [](CUac2Device *d, ULONG unit, ULONG selector) { return d->SetUnitValue(unit, selector, 0); });
    EXPECT_EQ(uac2->SetUnitValue(3, 1, 0), STATUS_SUCCESS);
    EXPECT_TRUE(a->log.empty()) << "only the connector control re-registers";
    Drop(uac2);
    feature->Release();
    terminal->Release();
}

TEST_F(ScriptedDeviceTest, PowerChangesTellEnginesRestoreAndPowerUpTheChip)
{
    Plug(usbsim::VirtualDevice::Chip());
    NamingEngine *a = Engine(0, 2), *b = Engine(1, 7);
    auto *apply = hal_test::Make<hal_test::FakeNode>(40, NODE_KIND_LEVEL);
    auto *mirk = MakeProbe<CUac1DeviceMirk>(0x1234, 0x0001);
    mirk->scripted = true;
    mirk->engines = {a, b};
    mirk->nodes = {apply};
    mirk->UseLower(layer.get());
    ASSERT_EQ(mirk->Init(nullptr, fdo, nullptr, nullptr), STATUS_SUCCESS);
    auto power = [&](DEVICE_POWER_STATE state) { mirk->PowerChangeState(PowerState(state)); };

    bus->ClearLog();
    hal_test::Events().clear();
    power(PowerDeviceD0);
    EXPECT_TRUE(a->log.empty()) << "D0 to D0 does nothing";
    power(PowerDeviceD3);
    EXPECT_EQ(a->log, std::vector<std::string>{"power 4 0"});
    EXPECT_EQ(b->log, std::vector<std::string>{"power 4 0"});
    EXPECT_TRUE(RegisterWrites().empty());
    power(PowerDeviceD3);
    EXPECT_EQ(a->log.size(), 1u);
    power(PowerDeviceD0);
    EXPECT_EQ(a->log, (std::vector<std::string>{"power 4 0", "power 1 0", "register"}));
    EXPECT_EQ(b->log, (std::vector<std::string>{"power 4 0", "power 1 0", "register"}));
    EXPECT_EQ(RegisterWrites().size(), 7u) << "the chip's registers come back";
    EXPECT_NE(std::find(hal_test::Events().begin(), hal_test::Events().end(), "apply 40"),
              hal_test::Events().end())
        << "the nodes' values are sent again";

    // An engine that fails its state stops the others from hearing it.
    a->log.clear();
    b->log.clear();
    a->powerStatus = STATUS_UNSUCCESSFUL;
    power(PowerDeviceD2);
    EXPECT_EQ(a->log, std::vector<std::string>{"power 3 0"});
    EXPECT_TRUE(b->log.empty());
    Drop(mirk);
    apply->Release();
}

} // namespace
