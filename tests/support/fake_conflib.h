// An in-process configuration library for random-input tests and fuzzers: a ConfLibState's entry
// table pointed at functions that serve one answer buffer and one pair of device lists, without
// loading anything. One instance is current at a time.
#pragma once

#include "panel/device/conflib_binding.h"

#include <cstring>
#include <vector>

struct FakeConfLib
{
    alignas(8) unsigned char answer[CONFLIB_BUFFER_BYTES] = {}; // copied whole into every get's buffer
    std::vector<DevInfo> lists[2];
    uint32_t counts[2] = {};
    bool countsWritten[2] = {true, true};
    uint32_t lookups = 0;
    uint32_t propertyCalls = 0;

    static inline FakeConfLib *current = nullptr;

    void Install(ConfLibState &state)
    {
        current = this;
        state.setEntry<ConfLibEntry::ConfLibInit>(&Succeed);
        state.setEntry<ConfLibEntry::CreateDeviceList>(&Succeed);
        state.setEntry<ConfLibEntry::GetDeviceCount>(&GetDeviceCount);
        state.setEntry<ConfLibEntry::GetDeviceById>(&GetDeviceById);
        state.setEntry<ConfLibEntry::PropertyControl>(&PropertyControl);
    }

private:
    static int32_t CONFLIB_CALL Succeed() { return 0; }
    static int32_t CONFLIB_CALL GetDeviceCount(uint32_t direction, uint32_t *count)
    {
        if (direction > CONFLIB_CAPTURE)
            return 2;
        if (current->countsWritten[direction])
            *count = current->counts[direction];
        return 0;
    }
    static int32_t CONFLIB_CALL GetDeviceById(uint32_t direction, uint32_t index, DevInfo *device)
    {
        ++current->lookups;
        if (direction > CONFLIB_CAPTURE || index >= current->lists[direction].size())
            return 1;
        *device = current->lists[direction][index];
        return 0;
    }
    static int32_t CONFLIB_CALL PropertyControl(DevInfo, const char16_t *, void **value, void **,
                                                uint8_t direction)
    {
        ++current->propertyCalls;
        if (direction == CONFLIB_GET)
            std::memcpy(*value, current->answer, sizeof current->answer);
        return 0;
    }
};
