// A headset's topology and render wave filter over real nodes (fakes for the unit kinds no class
// creates), an engine and a test HAL, each behind an initialised port. Build returns the first
// failure; the destructor releases everything.
#pragma once

#include <pc_port.h>

#include <vector>

#include "support/hal_doubles.h"
#include "driver/filters/miniport_topology.h"
#include "driver/filters/miniport_wave_cyclic.h"
#include "driver/filters/node_selection.h"
#include "driver/filters/node_terminal.h"
#include "driver/filters/node_values.h"
#include "driver/filters/stream_engine.h"

// Property sets of the device-specific units, for requests that reach their handlers.
inline constexpr GUID kFilterGraphUnitSets[] = {
    {0xED76304D, 0xB322, 0x4ECB, {0x9B, 0x9E, 0x8E, 0x13, 0xC1, 0x46, 0x5F, 0x04}},
    {0x561BABB8, 0xE02F, 0x4500, {0x9B, 0xEF, 0xE0, 0xBE, 0x8B, 0x7C, 0x46, 0x30}},
    {0x369C31B9, 0x34E6, 0x4640, {0x99, 0xB6, 0xAD, 0xD1, 0x6C, 0xF1, 0x19, 0x94}},
    {0xC268AAF7, 0xE045, 0x4B5B, {0xB4, 0xAD, 0x02, 0xF4, 0xFA, 0x25, 0x86, 0xED}}};

struct FilterGraph
{
    static constexpr ULONG kTopologyNodes = 16;

    ~FilterGraph()
    {
        for (PPORT p : {wave, topo})
            if (p)
                p->Release();
        for (PUNKNOWN m : {waveMiniport, topoMiniport})
            if (m)
                m->Release();
        if (engine)
            engine->Release();
        for (IAudioNode *node : nodes)
            node->Release();
        if (hal)
            hal->Release();
    }

    template <class T, class... A> T *Node(A... args)
    {
        T *node = hal_test::Make<T>(args...);
        if (node)
            nodes.push_back(node);
        return node;
    }

    NTSTATUS Terminal(ULONG id, ULONG kind, ULONG type, ULONG source)
    {
        auto *t = Node<CTerminalNode>(id, kind);
        NTSTATUS status =
            t ? t->InitTerminal(1, &type, 1, &kDefaultJackRecord) : STATUS_INSUFFICIENT_RESOURCES;
        if (NT_SUCCESS(status) && source)
            status = t->SetSources(1, &source);
        return status;
    }

    // Mic IT 3 -> byte 39 (kind 22) -> level 38 (16) -> level 37 (8) -> input value 36 (15) -> output
    // value 35 (19) -> state 34 (13) -> named value 33 (24) -> effect switch 32 (23) -> processing block
    // 31 (20) -> ranged value 30 (17) -> speaker OT 5: a unit of every device-specific kind, the
    // kinds without a class of their own as fakes with four-entry tables.
    NTSTATUS BuildDeviceSpecific()
    {
        NTSTATUS status = Terminal(5, NODE_KIND_OUTPUT_TERMINAL, 1, 30);
        auto step = [&status](NTSTATUS next)
        {
            if (NT_SUCCESS(status))
                status = next;
        };
        const ULONG fakeKinds[] = {17, NODE_KIND_INFO_20, NODE_KIND_INFO, 24};
        for (ULONG i = 0; i < 4 && NT_SUCCESS(status); ++i)
        {
            auto *fake = Node<hal_test::FakeValueNode>(30 + i, fakeKinds[i]);
            const ULONG source = 31 + i;
            fake->value = 4;
            fake->table = {1, 2, 3, 4};
            fake->maximum = 100;
            step(fake->SetSources(1, &source));
        }
        const ULONG rates[] = {48000, 44100};
        step(Node<CStateNode>(34u)->Init(35, 2, rates));
        for (ULONG id : {35u, 36u})
        {
            auto *bind = Node<hal_test::FakeNode>(id, id == 35 ? 19u : 15u);
            bind->answers =
                id == 35 ? hal_test::FakeNode::ANSWERS_OUTPUT_BIND : hal_test::FakeNode::ANSWERS_INPUT_BIND;
            const ULONG source = id + 1;
            step(bind->SetSources(1, &source));
        }
        step(Node<CLevelControlNode>(37u, ULONG(NODE_KIND_LEVEL_8))->Init(38, 2, 0, -96 << 16, 1 << 15));
        step(Node<CLevelControlNode>(38u, 16u)->Init(39, 2, 0, -96 << 16, 1 << 15));
        step(Node<CByteControlNode>(39u, ULONG(NODE_KIND_BYTE_22))->Init(3, 1));
        return status;
    }

    // Streaming IT 1 -> mute 11 -> volume 12 -> bass 13 -> HP OT 2 (switch 14 on 12); mic IT 3 ->
    // volume 20 -> selector 21 (20, 3) -> streaming OT 4; a render engine of four PCM formats.
    NTSTATUS Build(PDEVICE_OBJECT device)
    {
        const ULONG streaming = 0, headphones = 2, mic = 7;
        NTSTATUS status = STATUS_SUCCESS;
        auto step = [&status](NTSTATUS next)
        {
            if (NT_SUCCESS(status))
                status = next;
        };
        step(Terminal(1, NODE_KIND_INPUT_TERMINAL, streaming, 0));
        step(Terminal(2, NODE_KIND_OUTPUT_TERMINAL, headphones, 13));
        step(Terminal(3, NODE_KIND_INPUT_TERMINAL, mic, 0));
        step(Terminal(4, NODE_KIND_OUTPUT_TERMINAL, streaming, 21));
        step(Node<CByteControlNode>(11u, ULONG(NODE_KIND_MUTE))->Init(1, 2));
        step(Node<CLevelControlNode>(12u, ULONG(NODE_KIND_LEVEL))->Init(11, 2, 0, -96 << 16, 1 << 15));
        step(Node<CLevelControlNode>(13u, ULONG(NODE_KIND_LEVEL_9))
                 ->Init(12, 2, 12 << 16, -12 << 16, 1 << 16));
        step(Node<CByteControlNode>(14u, ULONG(NODE_KIND_BYTE_18))->Init(12, 1));
        step(Node<CLevelControlNode>(20u, ULONG(NODE_KIND_LEVEL))->Init(3, 1, 0, -96 << 16, 1 << 15));
        const ULONG sources[] = {20, 3};
        step(Node<CSelectorNode>(21u)->SetSources(2, sources));
        step(BuildDeviceSpecific());
        if (!NT_SUCCESS(status))
            return status;

        engine = new (NonPagedPool, PoolTag::USBS) CStreamEngine(nullptr, 0);
        engine->AddRef();
        step(engine->Initialize(0));
        for (ULONG rate : {44100u, 48000u})
            for (USHORT bits : {USHORT(16), USHORT(24)})
            {
                WAVEFORMATEXTENSIBLE f{};
                f.Format = {WAVE_FORMAT_EXTENSIBLE, 2,    rate, rate * 2 * bits / 8,
                            USHORT(2 * bits / 8),   bits, 22};
                f.Samples.wValidBitsPerSample = bits;
                f.dwChannelMask = 3;
                f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
                step(engine->AddFormat(f));
            }
        step(engine->SetName(u"HPOut00"));
        step(engine->AttachNode(nodes[0]));
        step(engine->AttachNode(nodes[1]));
        if (!NT_SUCCESS(status))
            return status;

        hal = hal_test::Make<hal_test::TestHal>();
        hal->startFilters = nodes;
        hal->startEngines = {engine};
        step(hal->Init(nullptr, device, nullptr, nullptr));
        PUNKNOWN adapter = static_cast<IAudioHal *>(hal);
        step(CreateMiniportTopology(&topoMiniport, CLSID_PortTopology, nullptr, NonPagedPool, nullptr));
        step(PcNewPort(&topo, CLSID_PortTopology));
        step(topo->Init(device, nullptr, topoMiniport, adapter, nullptr));
        step(CreateMiniportWaveCyclic(&waveMiniport, CLSID_PortWaveCyclic, nullptr, NonPagedPool, 0));
        step(PcNewPort(&wave, CLSID_PortWaveCyclic));
        step(wave->Init(device, nullptr, waveMiniport, adapter, nullptr));
        return status;
    }

    std::vector<IAudioNode *> nodes;
    CStreamEngine *engine = nullptr;
    hal_test::TestHal *hal = nullptr;
    PUNKNOWN topoMiniport = nullptr;
    PUNKNOWN waveMiniport = nullptr;
    PPORT topo = nullptr;
    PPORT wave = nullptr;
};
