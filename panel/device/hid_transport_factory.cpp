#include "panel/device/hid_transport_factory.h"

#include "panel/device/hid_scrambler.h"
#include "platform/hid/hidapi_transport.h"
#include "platform/hid/sim_hid_transport.h"

#include <QByteArray>

std::unique_ptr<HidTransport> makeHidTransport()
{
    const QByteArray backend = qgetenv("DEVPANEL_HID_BACKEND");
    if (backend.startsWith("sim:"))
    {
        auto sim = std::make_unique<SimHidTransport>(hidCodec());
        sim->virtualClock().setRealPace(true); // the headset poll waits as it would on a device
        sim->loadScenario(backend.mid(4).toStdString());
        return sim;
    }
    return std::make_unique<HidapiTransport>();
}
