// Units a unit test makes: each is detached from its nodes and released when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sim/usb_builders.h>
#include <vector>

#include "driver/base/pool_memory.h"
#include "driver/core/uac_entities.h"

using HeldUnits = std::vector<std::unique_ptr<IUsbAudioUnit, void (*)(IUsbAudioUnit *)>>;

// A unit of class T from pool tag `tag`, constructed with `args` after (outer, position), held by `units`
// and initialised on `descriptor` with the status `expected`.
template <class T, class... A>
T *MakeHeldUnit(HeldUnits &units, ULONG tag, const usbsim::Bytes &descriptor, const UnitContext &context,
                NTSTATUS expected, const A &...args)
{
    T *unit = new (NonPagedPool, tag) T(nullptr, 0, args...);
    unit->AddRef();
    units.emplace_back(static_cast<IUsbAudioUnit *>(unit),
                       [](IUsbAudioUnit *u)
                       {
                           u->DetachNodes();
                           u->Release();
                       });
    EXPECT_EQ(unit->InitUnit(descriptor.data(), ULONG(descriptor.size()), context), expected);
    return unit;
}
