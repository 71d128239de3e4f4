// "start": the driver loaded and started on a virtual headset as the platform would, what it built
// printed, then the headset surprise-removed and removed, and the pool checked.
#include "commands.h"
#include "machine.h"

#include <sim/audio_client.h>
#include <sim/io_sim.h>
#include <sim/kernel_sim.h>
#include <sim/pnp_sim.h>
#include <sim/portcls_sim.h>
#include <sim/registry_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_pnp.h>

#include "driver/core/driver_entry.h"
#include "driver/core/usb_audio_adapter.h"
#include "driver/core/usb_audio_device.h"

#include <cstdio>
#include <map>
#include <memory>

namespace host
{

namespace
{

constexpr unsigned kPort = 1;

const char *ClassName(UsbAudioDeviceClass deviceClass)
{
    switch (deviceClass)
    {
    case UsbAudioDeviceClass::Uac1:
        return "CUac1Device";
    case UsbAudioDeviceClass::Mirk:
        return "CUac1DeviceMirk";
    case UsbAudioDeviceClass::Dova:
        return "CUac1DeviceDova";
    case UsbAudioDeviceClass::Tesh:
        return "CUac1DeviceTesh";
    case UsbAudioDeviceClass::Plon:
        return "CUac1DevicePlon";
    case UsbAudioDeviceClass::Grue:
        return "CUac1DeviceGrue";
    case UsbAudioDeviceClass::Uac2:
        return "CUac2Device";
    }
    return "?";
}

std::string Narrow(const WCHAR *text)
{
    std::string out;
    for (; text && *text; ++text)
        out += *text < 128 ? char(*text) : '?';
    return out;
}

std::string StartLine()
{
    for (const std::string &line : sim::pnp::Log())
        if (line.rfind("START_DEVICE", 0) == 0)
            return line;
    return "no START_DEVICE";
}

void PrintPnpLog(size_t *printed)
{
    const std::vector<std::string> log = sim::pnp::Log();
    for (; *printed < log.size(); ++*printed)
        std::printf("  %s\n", log[*printed].c_str());
}

void PrintEndpoints(CUsbAudioAdapter *adapter)
{
    std::printf("Endpoints  (formats: channels x rate / bits / channel mask)\n");
    for (ULONG index = 0, count = adapter->GetEngineCount(); index < count; ++index)
    {
        IStreamEngine *engine = nullptr;
        if (!NT_SUCCESS(adapter->GetEngine(index, &engine)) || !engine)
            continue;
        WCHAR name[ENGINE_NAME_CHARS] = {};
        engine->GetName(name);
        std::printf("  %-10s %-7s terminal type %2u  formats:", Narrow(name).c_str(),
                    engine->GetEngineId() ? "capture" : "render", engine->GetTerminalType());
        for (ULONG f = 0, formats = engine->GetFormatCount(); f < formats; ++f)
        {
            WAVEFORMATEXTENSIBLE format = {};
            if (NT_SUCCESS(engine->GetFormat(f, &format)))
                std::printf(" %ux%u/%u/0x%X", unsigned(format.Format.nChannels),
                            unsigned(format.Format.nSamplesPerSec), unsigned(format.Format.wBitsPerSample),
                            unsigned(format.dwChannelMask));
        }
        std::printf("\n");
    }
}

void PrintPortClass()
{
    std::map<PPORT, std::string> names;
    std::printf("Sub-devices\n");
    for (const sim::portcls::SubdeviceRecord &r : sim::portcls::Subdevices())
    {
        names[r.Port] = r.Name;
        std::printf("  %s\n", r.Name.c_str());
    }
    std::printf("Connections\n");
    for (const sim::portcls::ConnectionRecord &c : sim::portcls::Connections())
        std::printf("  %s pin %u -> %s pin %u\n", names[c.From].c_str(), unsigned(c.FromPin),
                    names[c.To].c_str(), unsigned(c.ToPin));
    sim::audio::FilterRef topology = sim::audio::FindFilter("GlobalTopo");
    if (topology.Port)
    {
        sim::audio::Filter filter(topology.Port);
        std::printf("Topology (GlobalTopo)\n%s", filter.Print().c_str());
    }
}

void PrintInterfaces()
{
    std::printf("Device interfaces\n");
    for (const sim::io::DeviceInterfaceRecord &r : sim::io::DeviceInterfaces())
        std::printf("  %-8s %s\n", r.Enabled ? "enabled" : "off", r.Link.c_str());
}

// What the started device object is and what it detected.
void PrintDevice(CUsbAudioAdapter *adapter)
{
    auto *device = static_cast<CUsbAudioDevice *>(static_cast<CAudioHal *>(adapter->DeviceHal()));
    if (!device)
        return;
    const ULONG *caps = device->Capabilities();
    std::printf("Device object %s  capability mask 0x%08X, second 0x%X, third 0x%X\n",
                ClassName(device->DeviceClass()), unsigned(caps[CAPS_WORD_MASK]),
                unsigned(caps[CAPS_WORD_SECOND]), unsigned(caps[CAPS_WORD_THIRD]));
    std::printf("Low latency   %u Hz, latency index %u, sample type %u\n", unsigned(adapter->SampleRate()),
                unsigned(adapter->LatencyIndex()), unsigned(adapter->EffectiveSampleType()));
}

} // namespace

int RunStart(const Options &options)
{
    std::shared_ptr<usbsim::VirtualDevice> headset;
    std::string reason;
    {
        // On virtual time: a request's timeout passes only when the bus can no longer answer it.
        SimulatedMachine machine(options.examples, sim::ClockMode::Virtual);
        headset = BuildHeadset(options.device);
        if (!headset)
        {
            std::fprintf(stderr, "zelko-host: start: no headset '%s'\n", options.device.c_str());
            return 2;
        }
        auto bus = std::make_unique<usbsim::Bus>();
        usbsim::AttachPnpManager(*bus);
        size_t printed = 0;
        std::printf("Machine    \\SystemRoot\\ = %s\n", options.examples.string().c_str());
        std::printf("PnP\n");
        const NTSTATUS loaded = sim::pnp::LoadDriver(&DriverEntry);
        PrintPnpLog(&printed);
        if (!NT_SUCCESS(loaded))
            reason = "the driver did not load: " + StatusText(loaded);

        PDEVICE_OBJECT pdo = reason.empty() ? bus->Plug(kPort, headset) : nullptr;
        // The status thread reads the jacks once it runs; the wave filters follow from that.
        sim::RunUntilIdle();
        PrintPnpLog(&printed);
        if (reason.empty())
        {
            const auto instance = sim::registry::FindDevice(pdo);
            std::printf("Headset    --device %s  %s\n", options.device.c_str(),
                        instance ? instance->hardwareIds[0].c_str() : "?");
            if (!pdo || !sim::pnp::Started(pdo))
                reason = "the device did not start (" + StartLine() + ")";
            else
            {
                auto *adapter =
                    static_cast<CUsbAudioAdapter *>(GetAdapterExtension(pdo->AttachedDevice)->Adapter);
                PrintDevice(adapter);
                const std::string settings = instance->driverKey + "\\Settings";
                std::printf("Settings   %s\n", settings.c_str());
                const std::string dump = sim::registry::Dump(settings);
                std::fputs(dump.empty() ? "  (no values)\n" : dump.c_str(), stdout);
                PrintPortClass();
                PrintEndpoints(adapter);
                PrintInterfaces();
                std::printf("State      started, D0\n");
            }
        }
        // What the driver logged explains a refusal, or what a start that went on left out.
        PrintDriverLog();
        std::printf("Removal\n");
        bus->Unplug(kPort);
        PrintPnpLog(&printed);
        if (sim::pnp::Driver())
            sim::pnp::UnloadDriver();
        bus.reset();
        const std::string leftOver = machine.Finish();
        std::printf("Pool       %s\n", leftOver.empty() ? "every block freed, nothing left behind" : "");
        if (!leftOver.empty())
        {
            std::fputs(leftOver.c_str(), stdout);
            if (reason.empty())
                reason = "removal left kernel state behind";
        }
    }
    if (!reason.empty())
    {
        std::fprintf(stderr, "zelko-host: start --device %s: %s\n", options.device.c_str(), reason.c_str());
        return 1;
    }
    return 0;
}

} // namespace host
