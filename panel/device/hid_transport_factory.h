#pragma once

#include "platform/hid/hid_transport.h"

#include <memory>

// The hidapi back end, or simulated devices from a scenario file when the environment variable
// DEVPANEL_HID_BACKEND is "sim:<scenario file>".
std::unique_ptr<HidTransport> makeHidTransport();
