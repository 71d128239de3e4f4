// Runs arbitrary bytes through the USB audio function's two walks: the input names a device class, a
// configuration descriptor and a script of control replies (bytes, short answers, stalls), served by
// an adapter stand-in without a bus. Shared by the bounded random test and the libFuzzer target.
//
// Input layout: byte 0 the device class (modulo 7), bytes 1-2 the configuration's length L, then L
// configuration bytes, then the reply script. Each control request takes one script byte: 0 stalls,
// 1 answers the next byte's count of bytes (a short answer when fewer than asked), anything else
// answers the whole request from the script. A spent script reads as 0xFF, so every later request
// gets a whole answer of 0xFF bytes.
//
// A class 1.0 input walks as the builders' class 1.0 headset, the device the walk fuzzer plugs on the
// bus for it, when byte 0 / 7 is even; when odd, as the one class 1.0 product whose walk ends with its
// own check for two terminals (which the builders' headset lacks, so such inputs never stream).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <sim/usb_builders.h>

#include "driver/base/pool_memory.h"
#include "driver/core/usb_audio_function.h"

namespace walk_harness
{

class ScriptedLower : public IUsbLowerRequests, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    ScriptedLower(const uint8_t *config, size_t configBytes, const uint8_t *script, size_t scriptBytes)
        : CUnknownBase(nullptr), m_Config(config, config + configBytes),
          m_Script(script, script + scriptBytes)
    {
        // The adapter never hands out more than it read: wTotalLength is capped at the bytes held.
        // Nor does it hand out a configuration whose header it refused at start (the wrong type, a
        // bLength or wTotalLength short of the header): the walks never see one.
        constexpr size_t head = sizeof(USB_CONFIGURATION_DESCRIPTOR);
        if (m_Config.size() >= head)
        {
            const size_t total = m_Config[2] | m_Config[3] << 8;
            const size_t capped = total < m_Config.size() ? total : m_Config.size();
            m_Config[2] = uint8_t(capped);
            m_Config[3] = uint8_t(capped >> 8);
            m_Usable =
                m_Config[0] >= head && m_Config[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE && capped >= head;
        }
    }

    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() override
    {
        return m_Usable ? reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_Config.data()) : nullptr;
    }
    PURB GetSelectedConfiguration() override { return nullptr; }
    UCHAR GetInterfaceNumber() override { return 0; }
    NTSTATUS SetConnected(BOOLEAN) override { return STATUS_SUCCESS; }
    NTSTATUS CallLower(PIRP) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SubmitUrb(PURB urb) override
    {
        ++requests;
        URB_CONTROL_VENDOR_OR_CLASS_REQUEST &r = urb->UrbControlVendorClassRequest;
        const uint8_t op = Next();
        if (op == 0)
            return STATUS_UNSUCCESSFUL;
        if (!(r.TransferFlags & USBD_TRANSFER_DIRECTION_IN))
            return STATUS_SUCCESS;
        ULONG length = r.TransferBufferLength;
        if (op == 1)
        {
            const ULONG cut = Next();
            length = cut < length ? cut : length;
        }
        // In one copy: an answer may be hundreds of bytes, and byte-wise reads cost every input.
        auto *out = static_cast<uint8_t *>(r.TransferBuffer);
        const size_t left = m_Script.size() - m_At;
        const size_t taken = length < left ? length : left;
        if (taken)
            std::memcpy(out, m_Script.data() + m_At, taken);
        std::memset(out + taken, kSpent, length - taken);
        m_At += taken;
        r.TransferBufferLength = length;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetCurrentFrame(PULONG frame) override
    {
        *frame = 0;
        return STATUS_SUCCESS;
    }
    PIRP AllocateIrp() override { return nullptr; }
    NTSTATUS FreeIrp(PIRP) override { return STATUS_SUCCESS; }
    BOOLEAN IsHighSpeed() override { return FALSE; }
    BOOLEAN IsDeviceGone() override { return FALSE; }
    BOOLEAN CyclePort() override { return FALSE; }
    PDEVICE_OBJECT GetLowerDevice() override { return nullptr; }
    NTSTATUS StreamStarted() override { return STATUS_SUCCESS; }
    NTSTATUS StreamStopped() override { return STATUS_SUCCESS; }
    NTSTATUS CreateDeviceObject() override { return STATUS_NOT_IMPLEMENTED; }

    size_t requests = 0;

private:
    static constexpr uint8_t kSpent = 0xFF; // what a spent script answers
    uint8_t Next() { return m_At < m_Script.size() ? m_Script[m_At++] : kSpent; }

    std::vector<uint8_t> m_Config, m_Script;
    bool m_Usable = false; // the header passed the adapter's check
    size_t m_At = 0;
};

inline NTSTATUS ScriptedLower::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IUsbLowerRequests *>(this),
                           {{IID_IUsbLowerRequests, static_cast<IUsbLowerRequests *>(this)}});
}

class WalkHal : public CAudioHal
{
public:
    WalkHal() : CAudioHal(nullptr) {}
    NTSTATUS StartHardware() override { return STATUS_SUCCESS; }
};

// Every status the walks may end with (the Failure handling list, success included).
inline bool ExpectedStatus(NTSTATUS status)
{
    return status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL || status == STATUS_INVALID_PARAMETER ||
           status == STATUS_INSUFFICIENT_RESOURCES;
}

// Runs one input. Returns "" when the oracles hold, else what broke. The caller checks leaks after.
inline std::string RunWalks(const uint8_t *data, size_t size, NTSTATUS *result = nullptr)
{
    if (size < 3)
        return "";
    const auto deviceClass = UsbAudioDeviceClass(data[0] % 7);
    size_t configBytes = data[1] | data[2] << 8;
    if (configBytes > size - 3)
        configBytes = size - 3;
    auto *lower = new (NonPagedPool, PoolTag::USBd)
        ScriptedLower(data + 3, configBytes, data + 3 + configBytes, size - 3 - configBytes);
    auto *hal = new (NonPagedPool, PoolTag::UAC1) WalkHal();
    if (lower)
        lower->AddRef();
    if (hal)
        hal->AddRef();
    if (!lower || !hal)
    {
        // The harness's own objects: no walk to judge.
        if (lower)
            lower->Release();
        if (hal)
            hal->Release();
        return "";
    }
    std::string broke;
    if (NT_SUCCESS(hal->Init(nullptr, nullptr, nullptr, nullptr)))
    {
        CUsbAudioFunctionModel model;
        // The other classes keep the vendor whose terminal quirks their walks know.
        USHORT vendor = 0x1B1C, product = 0x0A04;
        if (deviceClass == UsbAudioDeviceClass::Uac1 && data[0] / 7 % 2 == 0)
        {
            vendor = usbsim::Uac1Options{}.vendorId;
            product = usbsim::Uac1Options{}.productId;
        }
        const UsbAudioFunctionInputs inputs{deviceClass, vendor, product, {}, FALSE};
        if (NT_SUCCESS(model.Init(inputs, hal, nullptr, lower, {})))
        {
            const NTSTATUS control = model.ParseControlFromConfig(lower);
            const NTSTATUS streaming =
                NT_SUCCESS(control) ? model.ParseStreamingFromConfig(lower) : STATUS_SUCCESS;
            if (result)
                *result = NT_SUCCESS(control) ? streaming : control;
            if (!ExpectedStatus(control) || !ExpectedStatus(streaming))
                broke = "unexpected status " + std::to_string(ULONG(control)) + " " +
                        std::to_string(ULONG(streaming));
            // A walk takes at most one step per descriptor and a bounded number of requests per unit.
            if (lower->requests > 64 * (configBytes + 1))
                broke = "requests not bounded by the configuration: " + std::to_string(lower->requests);
        }
    }
    hal->Release();
    lower->Release();
    return broke;
}

} // namespace walk_harness
