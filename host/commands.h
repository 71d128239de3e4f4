// The host program's commands. Each runs on a freshly booted simulated machine.
#pragma once

#include "host/cli/options.h"

#include <memory>
#include <string>

namespace usbsim
{
class VirtualDevice;
}

namespace host
{

// The virtual headset `name` stands for (one of DeviceNames()), or null.
std::shared_ptr<usbsim::VirtualDevice> BuildHeadset(const std::string &name);
// Whether the render stream of the headset `name` passes an effect that alters it even with every
// switch off, so that what reaches the bus is processed, not the source.
bool RenderPathProcessed(const std::string &name);
// Whether the headset `name`'s surround switch reaches a node the driver runs on the render stream;
// otherwise the switch goes to the headset, which would process the sound after the bus.
bool SurroundRunsInTheDriver(const std::string &name);

// Imports the INI file of `examples` into the settings of the headset `options.device` names, as the
// driver does at device start, and prints the resulting "Settings" values. Returns the process exit code.
int RunSettings(const Options &options);

// Loads the driver on the simulated machine, plugs the headset `options.device` names and prints what
// the start built (PnP steps, device class and capabilities, settings, sub-devices, connections,
// endpoints, topology, interfaces), then removes it and checks the pool. Exit code 0 for a clean start
// and a removal that left nothing behind, else 1 with a one-line reason.
int RunStart(const Options &options);

// Starts the driver on the headset, opens the streaming pin of "<endpoint>Wave" in the source's format
// and plays the source (a WAV file, the example or a tone) through it; writes what reached the bus
// to a WAV file and prints levels, transfer and packet counts, the packet sizes, feedback, the bus's
// rate, errors, underruns and whether the bus carried the source bit-exact after the first silence.
// With `surround` set, the headset's surround node is switched through the topology filter before
// the pin runs. Exit code 0, 1 with a one-line reason (start, pin, leak), 2 for a source that cannot
// be played, an endpoint that is not there or plays the other way, a format the endpoint does not
// take or a surround setting the headset has no node for; a failed run writes no file and leaves no
// folder it made for one, and the file is written only once every check of the run has passed.
int RunPlay(const Options &options);

// Starts the driver on the headset, feeds its IN endpoints with the pattern, records `seconds` from
// the pin of "<endpoint>Wave" in the endpoint's format into a WAV file, prints levels, transfer
// counts, the bus's rate, overruns and whether the recording is the pattern bit-exact. Exit codes as
// for play.
int RunCapture(const Options &options);

} // namespace host
