// A filter description for fake miniports: bridge pins of the given flows (and, optionally, one
// streaming pin first), the analog range on each, the given categories, no nodes.
#pragma once

#include <pc_filter.h>

#include <vector>

class BridgeFilter
{
public:
    explicit BridgeFilter(std::vector<KSPIN_DATAFLOW> flows,
                          std::vector<GUID> categories = {KSCATEGORY_AUDIO})
        : m_Categories(std::move(categories))
    {
        for (KSPIN_DATAFLOW flow : flows)
        {
            PCPIN_DESCRIPTOR pin{};
            pin.KsPinDescriptor.DataRangesCount = 1;
            pin.KsPinDescriptor.DataRanges = m_RangeTable;
            pin.KsPinDescriptor.DataFlow = flow;
            pin.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
            pin.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
            m_Pins.push_back(pin);
        }
        Refresh();
    }

    // Turns pin `index` into a streaming pin (communication SINK).
    void MakeStreaming(ULONG index)
    {
        m_Pins.at(index).KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    }
    void SetFlow(ULONG index, KSPIN_DATAFLOW flow) { m_Pins.at(index).KsPinDescriptor.DataFlow = flow; }

    PPCFILTER_DESCRIPTOR Get()
    {
        Refresh();
        return &m_Descriptor;
    }

private:
    // Copies point at their own range and pins.
    void Refresh()
    {
        m_RangeTable[0] = &m_Range;
        for (PCPIN_DESCRIPTOR &pin : m_Pins)
            pin.KsPinDescriptor.DataRanges = m_RangeTable;
        m_Descriptor = PCFILTER_DESCRIPTOR{};
        m_Descriptor.PinSize = sizeof(PCPIN_DESCRIPTOR);
        m_Descriptor.PinCount = ULONG(m_Pins.size());
        m_Descriptor.Pins = m_Pins.data();
        m_Descriptor.NodeSize = sizeof(PCNODE_DESCRIPTOR);
        m_Descriptor.CategoryCount = ULONG(m_Categories.size());
        m_Descriptor.Categories = m_Categories.data();
    }

    KSDATARANGE m_Range{
        sizeof(KSDATARANGE),        0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
        KSDATAFORMAT_SPECIFIER_NONE};
    PKSDATARANGE m_RangeTable[1] = {&m_Range};
    std::vector<GUID> m_Categories;
    std::vector<PCPIN_DESCRIPTOR> m_Pins;
    PCFILTER_DESCRIPTOR m_Descriptor{};
};
