// Miniports behind ports for tests and benchmarks: a miniport made by its creation function behind a
// new, initialised port of its class; an endpoint's wave filter over an engine in a test HAL; and the
// data formats pins are opened with.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <pc_port.h>

#include "driver/filters/miniport_wave_cyclic.h"
#include "support/hal_doubles.h"

namespace miniport_bench
{

// A data format of `size` bytes whose wave record, `bytes` of `format` at most, starts at `offset`
// (the defaults: the 104-byte record with the extensible format whole).
inline std::vector<UCHAR> DataFormat(const WAVEFORMATEXTENSIBLE &format, ULONG size = 104, ULONG offset = 64,
                                     ULONG bytes = sizeof(WAVEFORMATEXTENSIBLE), ULONG flags = 0)
{
    std::vector<UCHAR> data(size);
    KSDATAFORMAT header{
        size, flags, 0, 0, KSDATAFORMAT_TYPE_AUDIO, format.SubFormat, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX};
    std::memcpy(data.data(), &header, sizeof(header));
    std::memcpy(data.data() + offset, &format, std::min<ULONG>(bytes, size - offset));
    return data;
}

// A miniport that `create(&unknown, portClass)` makes, behind a new port of `portClass` initialised
// over `hal`. Open returns the first failure and keeps what it made; ClosePort gives it all back.
struct PortedMiniport
{
    template <class Create>
    NTSTATUS OpenPort(Create create, REFGUID portClass, PDEVICE_OBJECT device, IAudioHal *hal)
    {
        NTSTATUS status = create(&miniportUnknown, portClass);
        if (NT_SUCCESS(status))
            status = PcNewPort(&port, portClass);
        if (NT_SUCCESS(status))
            status = port->Init(device, nullptr, miniportUnknown, hal, nullptr);
        return status;
    }
    // The miniport's class behind `Interface` (null before creation); the creation reference holds it.
    template <class Miniport, class Interface> Miniport *MiniportAs(REFIID iid) const
    {
        if (!miniportUnknown)
            return nullptr;
        auto *miniport = static_cast<Miniport *>(QueryAs<Interface>(miniportUnknown, iid));
        miniport->Release();
        return miniport;
    }
    void ClosePort()
    {
        if (port)
            port->Release();
        port = nullptr;
        if (miniportUnknown)
            miniportUnknown->Release();
        miniportUnknown = nullptr;
    }

    PUNKNOWN miniportUnknown = nullptr;
    PPORT port = nullptr;
};

inline NTSTATUS CreateWaveMiniport(PUNKNOWN *unknown, REFGUID portClass)
{
    return CreateMiniportWaveCyclic(unknown, portClass, nullptr, NonPagedPool, 0);
}

struct WaveFilter : PortedMiniport
{
    // The miniport of `engine` (engine 0 of a new test HAL) behind a new, initialised wave port.
    void Open(IStreamEngine *engine)
    {
        hal = hal_test::Make<hal_test::TestHal>();
        hal->startEngines = {engine};
        ASSERT_EQ(hal->Init(nullptr, &device, nullptr, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(OpenPort(CreateWaveMiniport, CLSID_PortWaveCyclic, &device, static_cast<IAudioHal *>(hal)),
                  STATUS_SUCCESS);
        miniport = MiniportAs<CMiniportWaveCyclic, IMiniportWaveCyclic>(IID_IMiniportWaveCyclic);
    }
    void Close()
    {
        ClosePort();
        miniport = nullptr;
        if (hal)
            hal->Release();
        hal = nullptr;
    }

    DEVICE_OBJECT device{};
    hal_test::TestHal *hal = nullptr;
    CMiniportWaveCyclic *miniport = nullptr;
};

} // namespace miniport_bench
