// An endpoint's wave filter for stream tests: the wave miniport of an engine in a test HAL behind an
// initialised wave port, and the data formats pins are opened with.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <pc_port.h>

#include "driver/filters/miniport_wave_cyclic.h"
#include "support/hal_doubles.h"

namespace wave_bench
{

// A data format of `size` bytes (104: the extensible record whole) carrying `format`.
inline std::vector<UCHAR> DataFormat(const WAVEFORMATEXTENSIBLE &format, ULONG size = 104)
{
    std::vector<UCHAR> data(size);
    KSDATAFORMAT header{
        size, 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, format.SubFormat, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX};
    std::memcpy(data.data(), &header, sizeof(header));
    std::memcpy(data.data() + 64, &format, std::min<size_t>(sizeof(format), size - 64));
    return data;
}

struct WaveFilter
{
    // The miniport of `engine` (engine 0 of a new test HAL) behind a new, initialised wave port.
    void Open(IStreamEngine *engine)
    {
        hal = hal_test::Make<hal_test::TestHal>();
        hal->startEngines = {engine};
        ASSERT_EQ(hal->Init(nullptr, &device, nullptr, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(CreateMiniportWaveCyclic(&miniportUnknown, CLSID_PortWaveCyclic, nullptr, NonPagedPool, 0),
                  STATUS_SUCCESS);
        miniport = static_cast<CMiniportWaveCyclic *>(
            QueryAs<IMiniportWaveCyclic>(miniportUnknown, IID_IMiniportWaveCyclic));
        miniport->Release(); // the creation reference keeps it
        ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        ASSERT_EQ(port->Init(&device, nullptr, miniportUnknown, static_cast<IAudioHal *>(hal), nullptr),
                  STATUS_SUCCESS);
    }
    void Close()
    {
        if (port)
            port->Release();
        port = nullptr;
        if (miniportUnknown)
            miniportUnknown->Release();
        miniportUnknown = nullptr;
        miniport = nullptr;
        if (hal)
            hal->Release();
        hal = nullptr;
    }

    DEVICE_OBJECT device{};
    hal_test::TestHal *hal = nullptr;
    PUNKNOWN miniportUnknown = nullptr;
    CMiniportWaveCyclic *miniport = nullptr;
    PPORT port = nullptr;
};

} // namespace wave_bench
