// libFuzzer entry for the private low-latency requests on a started class 2.0 headset. Input: a
// sequence of steps, each [client, code choice, in length, out length, 4 content bytes]; three user
// processes send them, with power changes in between. The I/O manager's own checks (no write past
// the system buffer, Information within the output length) abort on a breach; so do a status outside
// what the requests may answer, a second set of mappings, and anything left after the last close.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <sim/kernel_sim.h>
#include <sim/pnp_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_pnp.h>
#include <sim/user_sim.h>

#include "driver/core/driver_entry.h"

namespace
{

void Fail(const char *what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

const ULONG kCodes[] = {0x1D6000, 0x1D6004, 0x1DE008, 0x1D600C, 0x1D6010, 0x1DA014, 0x1D6018, 0x1DA01C,
                        0x1DA020, 0x1D6024, 0x1D6028, 0x1DA02C, 0x1DA030, 0x1D6034, 0x1DE038, 0x1DA03C,
                        0x1DA040, 0x1DA044, 0x1DA04C, 0x1DA050, 0x1DA054, 0x1D6058};
constexpr ULONG kStop = 0x1DA044;

bool Allowed(NTSTATUS s)
{
    return s == STATUS_SUCCESS || s == STATUS_INVALID_PARAMETER || s == STATUS_BUFFER_OVERFLOW ||
           s == STATUS_BUFFER_TOO_SMALL || s == STATUS_UNSUCCESSFUL || s == STATUS_NO_MATCH ||
           s == STATUS_NOT_SUPPORTED || s == STATUS_INSUFFICIENT_RESOURCES;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim::ResetAll();
    {
        auto bus = std::make_unique<usbsim::Bus>();
        usbsim::AttachPnpManager(*bus);
        if (sim::pnp::LoadDriver(&DriverEntry) != STATUS_SUCCESS)
            Fail("the driver did not load");
        PDEVICE_OBJECT pdo = bus->Plug(1, usbsim::VirtualDevice::Uac2());
        sim::user::Process processes[3];
        PFILE_OBJECT files[3] = {};
        uint32_t events[3];
        for (int i = 0; i < 3; ++i)
        {
            if (processes[i].OpenFile(pdo, u"\\SVASIOPrivateInterface", &files[i]) != STATUS_SUCCESS)
                Fail("the private name did not open");
            events[i] = processes[i].CreateEvent();
        }
        bool asleep = false;
        std::vector<uint8_t> in, out;
        for (size_t at = 0; at + 8 <= size && at < 8 * 64; at += 8)
        {
            const uint8_t *step = data + at;
            const int who = step[0] % 3;
            if (step[1] >= 250)
            {
                asleep = step[1] & 1;
                sim::pnp::SetDevicePower(pdo, asleep ? PowerDeviceD2 : PowerDeviceD0);
                continue;
            }
            const ULONG code = step[1] < 22 * 11 ? kCodes[step[1] % 22] : 0x1D6000 + 4 * step[1];
            if (asleep && code == kStop)
                continue; // held until D0, which this single thread would never reach
            in.assign(step[2] % 72, 0);
            for (size_t i = 0; i < in.size(); ++i)
                in[i] = step[4 + i % 4] ^ uint8_t(i / 4);
            // Small values keep rates, types and handles near what the driver accepts.
            if (in.size() >= 4 && (step[2] & 0x80))
            {
                const uint32_t pick[] = {events[who], 16, 27, 48000, 44100, 2822400, 1, 960};
                std::memcpy(in.data(), &pick[step[4] % 8], 4);
            }
            const ULONG outLength = step[3] % 72;
            out.assign(outLength, 0);
            ULONG_PTR information = 0;
            const NTSTATUS status = processes[who].DeviceIoControl(
                files[who], code, in.data(), ULONG(in.size()), out.data(), outLength, &information);
            if (!Allowed(status))
                Fail("a status no request may answer");
            if (sim::user::Mappings().size() > 2)
                Fail("more buffers mapped than one owner can have");
        }
        sim::pnp::SetDevicePower(pdo, PowerDeviceD0);
        for (int i = 0; i < 3; ++i)
        {
            processes[i].CloseFile(files[i]);
            processes[i].CloseHandle(events[i]);
        }
        if (!sim::user::Mappings().empty() || sim::user::LiveMdls() || sim::user::EventReferences())
            Fail("a mapping, MDL or event reference outlived its client");
        bus->Unplug(1);
        bus.reset();
        sim::pnp::UnloadDriver();
    }
    const std::string leftOver = sim::EndOfTestChecks();
    if (!leftOver.empty())
    {
        std::fprintf(stderr, "%s", leftOver.c_str());
        std::abort();
    }
    return 0;
}
