// Random property requests, data formats and ranges against a device's topology and wave filters,
// through the port-class stand-in (which serves each request with exact-size buffers and reports a
// handler that writes on failure or claims more bytes than it was given). Every answer must be one of
// the documented statuses; nothing may leak. Seeded; the seed is printed.
#include <pc_port.h>
#include <sim/audio_client.h>

#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "filter_graph.h"
#include "support/kernel_test.h"

namespace
{

constexpr GUID kPrivateSet = {0x1B4400F0, 0x9627, 0x4EE7, {0xA5, 0x93, 0xB3, 0x7C, 0x03, 0x4E, 0xF0, 0xDE}};
constexpr GUID kNodeNameSet = {0x00A34C4A, 0x26E6, 0x4095, {0x98, 0xE9, 0x77, 0xFA, 0xE2, 0xF1, 0x1F, 0xB6}};
constexpr GUID kPinWordsSet = {0xA210D309, 0x0822, 0x456B, {0xBD, 0x3C, 0x21, 0x96, 0x56, 0x7C, 0xAD, 0xA7}};

const std::set<NTSTATUS> kDocumented = {
    STATUS_SUCCESS,
    STATUS_BUFFER_OVERFLOW,
    STATUS_BUFFER_TOO_SMALL,
    STATUS_INVALID_PARAMETER,
    STATUS_INVALID_DEVICE_REQUEST,
    STATUS_NOT_FOUND,
    STATUS_UNSUCCESSFUL,
    STATUS_NO_MATCH,
    STATUS_NOT_SUPPORTED,
    STATUS_INSUFFICIENT_RESOURCES,
    STATUS_NOT_IMPLEMENTED,
};

unsigned RequestCount()
{
    const char *text = std::getenv("ZELKO_RANDOM_REQUESTS");
    return text ? unsigned(std::strtoul(text, nullptr, 10)) : 200000u;
}

class FilterRandomTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        graph = std::make_unique<FilterGraph>();
        ASSERT_EQ(graph->Build(&device), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        graph.reset();
        KernelTest::TearDown();
    }

    DEVICE_OBJECT device{};
    std::unique_ptr<FilterGraph> graph;
};

TEST_F(FilterRandomTest, RandomRequestsGetDocumentedAnswers)
{
    const unsigned seed = std::random_device{}();
    std::printf("filter random seed %u\n", seed);
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    sim::audio::Filter filters[] = {sim::audio::Filter(graph->topo), sim::audio::Filter(graph->wave)};
    std::vector<GUID> sets = {
        KSPROPSETID_Audio, KSPROPSETID_Jack,
        kPrivateSet,       kNodeNameSet,
        kPinWordsSet,      GUID{static_cast<uint32_t>(rng()), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}};
    sets.insert(sets.end(), std::begin(kFilterGraphUnitSets), std::end(kFilterGraphUnitSets));
    const ULONG verbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT};
    const unsigned count = RequestCount();
    std::vector<UCHAR> instance(64), value(512), before(512);
    for (unsigned i = 0; i < count; ++i)
    {
        sim::audio::Filter &filter = filters[rng() % 2];
        const ULONG node = rng() % 4 == 0 ? PCFILTER_NODE : rng() % (FilterGraph::kTopologyNodes + 2);
        const GUID &set = sets[rng() % sets.size()];
        const ULONG id = rng() % 41;
        const ULONG verb =
            rng() % 8 == 0 ? ULONG(rng()) & ~ULONG(KSPROPERTY_TYPE_TOPOLOGY) : verbs[rng() % 3];
        const ULONG instanceSize = rng() % 65;
        ULONG valueSize = rng() % 3 == 0 ? rng() % 9 : rng() % 513;
        for (UCHAR &b : instance)
            b = UCHAR(rng() % 4 == 0 ? rng() : rng() % 4); // small channels and pins are the interesting ones
        for (UCHAR &b : value)
            b = UCHAR(rng());
        before = value;
        const ULONG room = valueSize;
        const NTSTATUS status =
            filter.Request(verb, set, id, node, instance.data(), instanceSize, value.data(), &valueSize);
        ASSERT_TRUE(kDocumented.count(status)) << std::hex << status << " request " << i;
        if (NT_SUCCESS(status))
            ASSERT_LE(valueSize, room) << "request " << i;
        else
            ASSERT_EQ(value, before) << "request " << i;
    }
}

TEST_F(FilterRandomTest, RandomFormatsAndRangesNeverReadPastThemselves)
{
    const unsigned seed = std::random_device{}();
    std::printf("format random seed %u\n", seed);
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto *miniport = static_cast<CMiniportWaveCyclic *>(
        QueryAs<IMiniportWaveCyclic>(graph->waveMiniport, IID_IMiniportWaveCyclic));
    miniport->Release();
    sim::audio::Filter filter(graph->wave);
    const unsigned count = RequestCount() / 10;
    for (unsigned i = 0; i < count; ++i)
    {
        // A data format exactly as long as it claims, mostly near the accepted sizes.
        const ULONG size = 64 + rng() % 48;
        std::vector<UCHAR> data(size);
        for (UCHAR &b : data)
            b = UCHAR(rng() % 3 == 0 ? rng() : 0);
        KSDATAFORMAT header{size,
                            rng() % 2 ? 0u : 2u,
                            0,
                            0,
                            KSDATAFORMAT_TYPE_AUDIO,
                            KSDATAFORMAT_SUBTYPE_PCM,
                            KSDATAFORMAT_SPECIFIER_WAVEFORMATEX};
        std::memcpy(data.data(), &header, sizeof(header));
        WAVEFORMATEX wave{USHORT(rng() % 2 ? WAVE_FORMAT_EXTENSIBLE : rng() % 4),
                          2,
                          48000,
                          192000,
                          4,
                          16,
                          USHORT(rng() % 4 ? 22 : rng())};
        std::memcpy(data.data() + 64, &wave, std::min<size_t>(sizeof(wave), size - 64));
        WAVEFORMATEXTENSIBLE out;
        const NTSTATUS validated =
            miniport->ValidateFormat(reinterpret_cast<KSDATAFORMAT *>(data.data()), &out);
        ASSERT_TRUE(validated == STATUS_SUCCESS || validated == STATUS_INVALID_PARAMETER) << i;

        // A client range of any size from 64 to 96 bytes with random limits and identifiers.
        const ULONG rangeSize = 64 + rng() % 33;
        std::vector<UCHAR> range(rangeSize);
        for (UCHAR &b : range)
            b = UCHAR(rng());
        KSDATARANGE rangeHeader{rng() % 4 ? rangeSize : ULONG(rng()),
                                0,
                                0,
                                0,
                                rng() % 4 ? KSDATAFORMAT_TYPE_AUDIO : GUID{},
                                rng() % 4 ? KSDATAFORMAT_SUBTYPE_PCM
                                          : GUID{static_cast<uint32_t>(rng()), 0, 0, {}},
                                rng() % 2 ? KSDATAFORMAT_SPECIFIER_WAVEFORMATEX : GUID{}};
        std::memcpy(range.data(), &rangeHeader, sizeof(rangeHeader));
        const ULONG length = rng() % 3 == 0 ? 0 : rng() % 120;
        std::vector<UCHAR> result(length);
        ULONG produced = 0;
        const NTSTATUS status = filter.Intersect(rng() % 2, range.data(), rangeSize, length,
                                                 length ? result.data() : nullptr, &produced);
        ASSERT_TRUE(kDocumented.count(status)) << std::hex << status << " range " << i;
        if (NT_SUCCESS(status))
        {
            ASSERT_LE(produced, length);
        }
    }
}

} // namespace
