// A low-latency front end's side of the private interface: the request codes, a request sent through a
// user process with its reply read back as bytes and words, and the shared buffers seen through the
// process's own mapping. Used by the interface's tests, the random-request harness and the end-to-end
// streaming tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <sim/user_sim.h>

namespace asio_client
{

enum : ULONG
{
    kGetDriverName = 0x1D6000,
    kGetChannels = 0x1D6004,
    kGetChannelInfo = 0x1DE008,
    kGetSampleTypes = 0x1D600C,
    kGetLatencyList = 0x1D6010,
    kSetNotifyEvent = 0x1DA014,
    kGetOwnerActive = 0x1D6018,
    kSetSampleType = 0x1DA01C,
    kSetLatency = 0x1DA020,
    kGetLatencies = 0x1D6024,
    kGetSampleRate = 0x1D6028,
    kCanSampleRate = 0x1DA02C,
    kSetSampleRate = 0x1DA030,
    kGetBufferSize = 0x1D6034,
    kCreateBuffers = 0x1DE038,
    kDisposeBuffers = 0x1DA03C,
    kStart = 0x1DA040,
    kStop = 0x1DA044,
    kClearNotifyEvent = 0x1DA04C,
    kCanSetIoFormat = 0x1DA050,
    kSetIoFormat = 0x1DA054,
    kGetIoFormat = 0x1D6058,
};
inline constexpr ULONG kAllCodes[] = {
    kGetDriverName,    kGetChannels,    kGetChannelInfo, kGetSampleTypes, kGetLatencyList, kSetNotifyEvent,
    kGetOwnerActive,   kSetSampleType,  kSetLatency,     kGetLatencies,   kGetSampleRate,  kCanSampleRate,
    kSetSampleRate,    kGetBufferSize,  kCreateBuffers,  kDisposeBuffers, kStart,          kStop,
    kClearNotifyEvent, kCanSetIoFormat, kSetIoFormat,    kGetIoFormat};

// Header words of a shared buffer.
enum : size_t
{
    kWordActive = 0,
    kWordIsInput = 1,
    kWordChannels = 2,
    kWordDataBytes = 4,
    kWordPosition = 5,
    kWordStart = 6,
    kWordNotify = 7,
    kWordLast = 8,
    kWordPeriods = 9,
    kHeaderBytes = 40,
};

struct Reply
{
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<uint32_t> Words;
    std::vector<uint8_t> Bytes;
};

inline std::vector<uint8_t> WordBytes(std::initializer_list<uint32_t> words)
{
    std::vector<uint8_t> bytes(words.size() * 4);
    std::memcpy(bytes.data(), std::data(words), bytes.size());
    return bytes;
}

inline NTSTATUS Open(sim::user::Process &process, PDEVICE_OBJECT pdo, PFILE_OBJECT *file)
{
    return process.OpenFile(pdo, u"\\SVASIOPrivateInterface", file);
}

// One request with an output buffer of `outLength` bytes filled with 0xEE beforehand.
inline Reply Call(sim::user::Process &process, PFILE_OBJECT file, ULONG code, const std::vector<uint8_t> &in,
                  ULONG outLength)
{
    Reply r;
    r.Bytes.assign(outLength, 0xEE);
    r.Status = process.DeviceIoControl(file, code, in.data(), ULONG(in.size()), r.Bytes.data(), outLength,
                                       &r.Information);
    r.Words.resize(outLength / 4);
    if (outLength >= 4)
        std::memcpy(r.Words.data(), r.Bytes.data(), r.Words.size() * 4);
    return r;
}

// CreateBuffers for the first channel of render and of capture: {0, 2, frames, 0, 0, 1, 0}.
inline std::vector<uint8_t> CreateRequest(uint32_t frames)
{
    return WordBytes({0, 2, frames, 0, 0, 1, 0});
}

inline uint32_t *Header(sim::user::Process &process, uint32_t address)
{
    return reinterpret_cast<uint32_t *>(process.At(address, kHeaderBytes));
}

} // namespace asio_client
