// What a failing USB test prints: the descriptors of every device on the bus, decoded.
#pragma once

#include <cstdio>

#include <sim/usb_bus.h>
#include <sim/usb_printer.h>

namespace usbtest
{

inline void PrintBusDevices(const usbsim::Bus &bus, unsigned lastPort = 8)
{
    for (unsigned port = 1; port <= lastPort; ++port)
        if (auto device = bus.Device(port))
            std::printf("port %u device:\n%s%s", port,
                        usbsim::PrintDescriptors(device->Descriptors().device).c_str(),
                        usbsim::PrintDescriptors(device->Descriptors().configuration).c_str());
}

} // namespace usbtest
