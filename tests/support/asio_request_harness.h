// Runs arbitrary bytes as private low-latency requests on a started class 2.0 headset: the driver
// loaded by the PnP manager, three user processes with a file and an event each, power changes in
// between. Shared by the bounded random test and the libFuzzer target.
//
// Input: steps of 8 bytes, at most 64: [client, choice, in length, out length, 4 content bytes]. A
// choice of 250 or more is a power change (odd: D2, even: D0); below 242 one of the 22 requests,
// above it a code of the same device type that is not one. In length bit 6 on CreateBuffers makes
// the request well formed (so buffers are made and streaming starts); the last content byte's low
// bits let up to 7 ms of virtual time pass after the step, so started streams move audio. Returns ""
// or what broke: a status no request may answer, more buffers mapped than one owner has, or anything
// left after the last close (the I/O manager's own checks abort through the violation handler).
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sim/kernel_sim.h>
#include <sim/pnp_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_pnp.h>
#include <sim/user_sim.h>

#include "driver/core/driver_entry.h"
#include "support/asio_client.h"

namespace asio_harness
{

inline bool Allowed(NTSTATUS s)
{
    return s == STATUS_SUCCESS || s == STATUS_INVALID_PARAMETER || s == STATUS_BUFFER_OVERFLOW ||
           s == STATUS_BUFFER_TOO_SMALL || s == STATUS_UNSUCCESSFUL || s == STATUS_NO_MATCH ||
           s == STATUS_NOT_SUPPORTED || s == STATUS_POWER_STATE_INVALID;
}

// Three steps into `steps` (24 bytes) that set 16-bit samples, create well-formed buffers of frame
// choice `frames` and start them, all from `client`; the last byte of each lets `ms` pass.
inline void StreamingSteps(uint8_t client, uint8_t frames, uint8_t ms, uint8_t *steps)
{
    const uint8_t made[3][8] = {{client, 7, 0x94, 0, 1, 0, 0, ms},       // SetSampleType(16), 4 bytes
                                {client, 14, 0x40, 8, frames, 0, 0, ms}, // CreateBuffers
                                {client, 16, 0x94, 0, 0, 0, 0, ms}};     // Start with the client's event
    std::memcpy(steps, made, sizeof made);
}

// What the steps achieved: buffers created and streaming started.
struct Served
{
    size_t Buffers = 0, Starts = 0;
};

// The started headset the requests go to: the driver loaded by the PnP manager, a class 2.0 headset
// plugged and started. Start after sim::ResetAll (the caller decides how violations end the run).
class Rig
{
public:
    // "" or what failed.
    std::string Start()
    {
        m_bus = std::make_unique<usbsim::Bus>();
        usbsim::AttachPnpManager(*m_bus);
        if (sim::pnp::LoadDriver(&DriverEntry) != STATUS_SUCCESS)
            return "the driver did not load";
        m_loaded = true;
        m_pdo = m_bus->Plug(1, usbsim::VirtualDevice::Uac2());
        return m_pdo ? "" : "the headset did not plug";
    }
    ~Rig()
    {
        if (m_pdo)
            m_bus->Unplug(1);
        m_bus.reset();
        if (m_loaded)
            sim::pnp::UnloadDriver();
    }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    // RunSteps on this headset, for a rig kept across many inputs: what the stand-ins logged for the
    // input (the bus's events, the isochronous engine's lines, the driver's debug output) goes with
    // it, or the run's memory grows with every input.
    std::string Run(const uint8_t *data, size_t size, Served *served = nullptr);
    // Lines the stand-ins hold in their logs.
    size_t Logged() const
    {
        return m_bus->Log().size() + m_bus->Iso(1).Log().size() + sim::DebugLog().size();
    }

private:
    std::unique_ptr<usbsim::Bus> m_bus;
    bool m_loaded = false;
    PDEVICE_OBJECT m_pdo = nullptr;
};

// The steps from three fresh clients of the started headset at `pdo`, which is at D0 again and has
// no client left afterwards.
inline std::string RunSteps(PDEVICE_OBJECT pdo, const uint8_t *data, size_t size, Served *served = nullptr)
{
    std::string broke;
    sim::user::Process processes[3];
    PFILE_OBJECT files[3] = {};
    uint32_t events[3];
    for (int i = 0; i < 3; ++i)
    {
        if (processes[i].OpenFile(pdo, u"\\SVASIOPrivateInterface", &files[i]) != STATUS_SUCCESS)
            broke = "the private name did not open";
        events[i] = processes[i].CreateEvent();
    }
    bool asleep = false;
    std::vector<uint8_t> in, out;
    for (size_t at = 0; broke.empty() && at + 8 <= size && at < 8 * 64; at += 8)
    {
        const uint8_t *step = data + at;
        const int who = step[0] % 3;
        if (step[1] >= 250)
        {
            asleep = step[1] & 1;
            sim::pnp::SetDevicePower(pdo, asleep ? PowerDeviceD2 : PowerDeviceD0);
            continue;
        }
        const ULONG code =
            step[1] < 242 ? asio_client::kAllCodes[step[1] % 22] : 0x1D6000 + 4 * (step[1] - 200);
        if (asleep && code == asio_client::kStop)
            continue; // held until D0, which this one thread would never reach
        in.assign(step[2] % 72, 0);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = uint8_t(step[4 + i % 4] ^ (i / 4));
        // Values near what the driver accepts: handles, types, rates, sizes.
        if (in.size() >= 4 && (step[2] & 0x80))
        {
            const uint32_t pick[] = {events[who], 16, 27, 48000, 44100, 2822400, 1, 960};
            std::memcpy(in.data(), &pick[step[4] % 8], 4);
        }
        if (code == asio_client::kCreateBuffers && (step[2] & 0x40))
        {
            const uint32_t frames[] = {96, 192, 480, 960, 1024, 2400, 47, 5000};
            in = asio_client::WordBytes(
                {0, 2, frames[step[4] % 8], 0, uint32_t(step[5] % 3), 1, uint32_t(step[6] % 2)});
        }
        const ULONG outLength = step[3] % 72;
        out.assign(outLength, 0);
        ULONG_PTR information = 0;
        const NTSTATUS status = processes[who].DeviceIoControl(files[who], code, in.data(), ULONG(in.size()),
                                                               out.data(), outLength, &information);
        if (served && status == STATUS_SUCCESS)
        {
            served->Buffers += code == asio_client::kCreateBuffers;
            served->Starts += code == asio_client::kStart;
        }
        if (!Allowed(status))
            broke = "request " + std::to_string(code) + " answered " + std::to_string(uint32_t(status));
        else if (sim::user::Mappings().size() > 2)
            broke = "more buffers mapped than one owner can have";
        if (step[7] & 7)
            sim::AdvanceMs(step[7] & 7);
    }
    // The last power step decides the state; one more D0 after a D0 only repeats the transition.
    if (asleep)
        sim::pnp::SetDevicePower(pdo, PowerDeviceD0);
    for (int i = 0; i < 3; ++i)
    {
        if (files[i])
            processes[i].CloseFile(files[i]);
        processes[i].CloseHandle(events[i]);
    }
    if (broke.empty() &&
        (!sim::user::Mappings().empty() || sim::user::LiveMdls() || sim::user::EventReferences()))
        broke = "a mapping, MDL or event reference outlived its client";
    return broke;
}

inline std::string Rig::Run(const uint8_t *data, size_t size, Served *served)
{
    std::string broke = RunSteps(m_pdo, data, size, served);
    // What the input set going ends first: a wake from D2 starts the status thread, whose first
    // requests would otherwise reach the logs after they were cleared.
    sim::RunUntilIdle();
    m_bus->ClearLog();
    m_bus->Iso(1).ClearLog();
    sim::ClearDebugLog();
    return broke;
}

// One started headset for the steps, then gone.
inline std::string RunRequests(const uint8_t *data, size_t size, Served *served = nullptr)
{
    Rig rig;
    std::string broke = rig.Start();
    return broke.empty() ? RunSteps(rig.Pdo(), data, size, served) : broke;
}

} // namespace asio_harness
