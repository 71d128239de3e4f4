// The bench of the chip units: the virtual headset on the USB layer, a device graph that offers a
// recording register file (failing on demand), a settings store in memory, and the units made on
// them with the chip family's tag, released and checked for leaks at the end of each test.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/base/pool_memory.h"
#include "driver/core/uac_entities.h"
#include "held_units.h"
#include "usb_fixture.h"

// Named, not anonymous, so the test files share one bench; kept apart from the driver's own names.
namespace chip_bench
{

struct RegisterWrite
{
    ULONG index, value, mask;
    bool operator==(const RegisterWrite &) const = default;
};

// The chip's register file as the device object offers it, recording and
// failing on demand.
class RecordingRegisters : public IChipRegisters
{
public:
    NTSTATUS QueryInterface(REFIID, PVOID *) override { return STATUS_NOT_IMPLEMENTED; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    NTSTATUS WriteRegister(ULONG index, ULONG value, ULONG mask) override
    {
        if (fail || ++attempts == failAt)
            return STATUS_UNSUCCESSFUL;
        writes.push_back({index, value, mask});
        return STATUS_SUCCESS;
    }
    std::vector<RegisterWrite> writes; // the writes that succeeded
    NTSTATUS fail = STATUS_SUCCESS;    // every write fails while set
    ULONG attempts = 0, failAt = 0;    // the attempt numbered failAt (from 1) fails
    ULONG refs = 0;
};

class ChipHal : public CAudioHal
{
public:
    ChipHal(PUNKNOWN outer, RecordingRegisters *registers) : CAudioHal(outer), m_Registers(registers) {}
    NTSTATUS StartHardware() override { return STATUS_SUCCESS; }
    // Words that name the question: 0xCA00 | direction << 8 | terminal type.
    NTSTATUS GetTerminalCapabilities(ULONG direction, ULONG terminalType, PULONG words) override
    {
        for (ULONG i = 0; i < HAL_INFO_WORDS; ++i)
            words[i] = i == 0 ? 0xCA00 | direction << 8 | terminalType : 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) override
    {
        if (IsEqualId(iid, IID_IChipRegisters))
        {
            m_Registers->AddRef();
            *object = m_Registers;
            return STATUS_SUCCESS;
        }
        return CAudioHal::NonDelegatingQueryInterface(iid, object);
    }

private:
    RecordingRegisters *m_Registers;
};

inline std::map<std::u16string, std::vector<UCHAR>> g_Settings;

inline NTSTATUS SettingsValue(PDEVICE_OBJECT, ULONG operation, PVOID buffer, ULONG size, PCWSTR name)
{
    auto &stored = g_Settings[name];
    if (operation == NODE_SETTING_WRITE)
        stored.assign(static_cast<UCHAR *>(buffer), static_cast<UCHAR *>(buffer) + size);
    else if (stored.size() == size)
        memcpy(buffer, stored.data(), size);
    else
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

constexpr LONG dB(double value)
{
    return LONG(value * 65536.0);
}
constexpr LONG kSilence = LONG(0x80000000u);

inline usbsim::Bytes Feature(UCHAR id, std::vector<uint8_t> controls)
{
    usbsim::Bytes b = {0, 0x24, 0x06, id, 1, 1};
    b.insert(b.end(), controls.begin(), controls.end());
    b.push_back(0);
    b[0] = UCHAR(b.size());
    return b;
}

class ChipUnitTest : public UsbLayerTest
{
protected:
    void Plug(std::shared_ptr<usbsim::VirtualDevice> headset)
    {
        Attach(std::move(headset));
        hal = new (NonPagedPool, PoolTag::Mirk) ChipHal(nullptr, &registers);
        hal->AddRef();
        ASSERT_EQ(hal->Init(nullptr, fdo, nullptr, nullptr), STATUS_SUCCESS);
        context = {hal,
                   {layer.get(), 0, UacVersion::Uac1, PoolTag::UA10},
                   {nullptr, SettingsValue},
                   PoolTag::Mirk,
                   nullptr};
        bus->ClearLog();
    }
    void SetUp() override
    {
        UsbLayerTest::SetUp();
        g_Settings.clear();
    }
    void TearDown() override
    {
        units.clear();
        if (hal)
            hal->Release();
        hal = nullptr;
        EXPECT_EQ(registers.refs, 0u);
        UsbLayerTest::TearDown();
    }
    template <class T> T *Unit(const usbsim::Bytes &descriptor, NTSTATUS expected = STATUS_SUCCESS)
    {
        return Make<T>(descriptor, expected);
    }
    // A unit of class T constructed with `args` after (outer, position), initialised on `descriptor`.
    template <class T, class... A>
    T *Make(const usbsim::Bytes &descriptor, NTSTATUS expected, const A &...args)
    {
        return MakeHeldUnit<T>(units, PoolTag::Mirk, descriptor, context, expected, args...);
    }
    // The SET_CUR payloads of the class requests since the log was cleared, as
    // signed values.
    std::vector<LONG> Sent()
    {
        std::vector<LONG> out;
        for (const auto &e : Urbs())
            if (e.function == URB_FUNCTION_CLASS_INTERFACE && e.bRequest == UAC1_SET_CUR)
                out.push_back(e.data.size() == 1 ? LONG(int8_t(e.data[0]))
                                                 : LONG(int16_t(e.data[0] | e.data[1] << 8)));
        bus->ClearLog();
        return out;
    }

    RecordingRegisters registers;
    ChipHal *hal = nullptr;
    UnitContext context{};
    HeldUnits units;
};

} // namespace chip_bench
