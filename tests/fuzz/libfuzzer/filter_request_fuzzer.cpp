// libFuzzer entry point: the input is a series of property requests, client ranges and data formats
// for a headset's topology and wave filters. Each request is: filter (1 byte), verb (1), node (1),
// set choice (1), id (1), instance size (1), value size (2, little-endian), then the instance bytes.
// Aborts on a leak, a protocol breach the port reports, or a status outside the documented ones.
#include <sim/audio_client.h>
#include <sim/kernel_sim.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "../filter_graph.h"

namespace
{

constexpr GUID kPrivateSet = {0x1B4400F0, 0x9627, 0x4EE7, {0xA5, 0x93, 0xB3, 0x7C, 0x03, 0x4E, 0xF0, 0xDE}};

void Fail(const char *what, NTSTATUS status)
{
    std::fprintf(stderr, "%s: 0x%08X\n", what, unsigned(status));
    std::abort();
}

bool Documented(NTSTATUS s)
{
    switch (s)
    {
    case STATUS_SUCCESS:
    case STATUS_BUFFER_OVERFLOW:
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_INVALID_PARAMETER:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_NOT_FOUND:
    case STATUS_UNSUCCESSFUL:
    case STATUS_NO_MATCH:
    case STATUS_NOT_SUPPORTED:
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_NOT_IMPLEMENTED:
        return true;
    default:
        return false;
    }
}

// The filters for the whole run: building them for each input cost more than the requests, and their
// build's coverage buried the requests'. What a request leaves behind shows when they go at exit.
struct Filters
{
    FilterGraph graph;
    std::unique_ptr<sim::audio::Filter> topo, wave;
};

Filters &TheFilters()
{
    static Filters *filters = []
    {
        sim::ResetAll();
        sim::SetViolationHandler(
            [](const std::string &message)
            {
                std::fprintf(stderr, "%s\n", message.c_str());
                std::abort();
            });
        static DEVICE_OBJECT device{};
        auto *f = new Filters;
        if (!NT_SUCCESS(f->graph.Build(&device)))
            Fail("build", STATUS_UNSUCCESSFUL);
        f->topo = std::make_unique<sim::audio::Filter>(f->graph.topo);
        f->wave = std::make_unique<sim::audio::Filter>(f->graph.wave);
        std::atexit(
            []
            {
                delete &TheFilters();
                const std::string leftOver = sim::EndOfTestChecks();
                if (!leftOver.empty())
                {
                    std::fprintf(stderr, "%s", leftOver.c_str());
                    std::abort();
                }
            });
        return f;
    }();
    return *filters;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Filters &f = TheFilters();
    sim::audio::Filter *filters[] = {f.topo.get(), f.wave.get()};
    const GUID sets[] = {KSPROPSETID_Audio,       KSPROPSETID_Jack,        kPrivateSet,
                         KSDATAFORMAT_TYPE_AUDIO, kFilterGraphUnitSets[0], kFilterGraphUnitSets[1],
                         kFilterGraphUnitSets[2], kFilterGraphUnitSets[3]};
    const ULONG verbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT, 0};
    size_t at = 0;
    while (at + 8 <= size)
    {
        const uint8_t *h = data + at;
        at += 8;
        sim::audio::Filter &filter = *filters[h[0] & 1];
        const size_t instanceSize = std::min<size_t>(h[5] % 65, size - at);
        std::vector<UCHAR> instance(data + at, data + at + instanceSize);
        at += instanceSize;
        if (h[0] & 2)
        {
            // The instance bytes as a client range (at least a header's worth is made up).
            instance.resize(std::max<size_t>(instance.size(), sizeof(KSDATARANGE)));
            ULONG produced = 0;
            const ULONG length = h[6];
            std::vector<UCHAR> result(length);
            const NTSTATUS s = filter.Intersect(h[2] % 3, instance.data(), ULONG(instance.size()), length,
                                                length ? result.data() : nullptr, &produced);
            if (!Documented(s) || (NT_SUCCESS(s) && produced > length))
                Fail("intersection", s);
            continue;
        }
        ULONG valueSize = ULONG(h[6] | (h[7] << 8)) % 513;
        std::vector<UCHAR> value(valueSize, 0xA5);
        const ULONG node = h[2] >= 32 ? PCFILTER_NODE : h[2] % (FilterGraph::kTopologyNodes + 2);
        const NTSTATUS s = filter.Request(verbs[h[1] % 4] | (h[1] & 0x80 ? 0x400 : 0),
                                          sets[h[3] % std::size(sets)], h[4] % 41, node, instance.data(),
                                          ULONG(instance.size()), value.data(), &valueSize);
        if (!Documented(s))
            Fail("property", s);
    }
    return 0;
}
