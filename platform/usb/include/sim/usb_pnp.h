// Joins a simulated bus to the PnP manager: an arrival adds and starts the loaded driver on the new
// physical device, an unplug surprise-removes and removes it (a re-enumeration does both).
#pragma once

#include <sim/pnp_sim.h>
#include <sim/usb_bus.h>

namespace usbsim
{

inline void AttachPnpManager(Bus &bus)
{
    bus.SetPnpListener(
        [](const PnpEvent &event)
        {
            switch (event.kind)
            {
            case PnpEventKind::Arrival:
                sim::pnp::DeviceArrived(event.pdo);
                break;
            case PnpEventKind::SurpriseRemoval:
                sim::pnp::DeviceSurpriseRemoved(event.pdo);
                break;
            case PnpEventKind::Removal:
                sim::pnp::DeviceRemoved(event.pdo);
                break;
            }
        });
}

} // namespace usbsim
