// Control changes: the KSEVENT_CONTROL_CHANGE a message raises, and the event handler's verbs.
#include "driver/filters/control_change.h"
#include "support/kernel_test.h"
#include "support/recording_port_events.h"

#include <cstdio>

namespace
{

// Reads "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" as identifiers are written down.
GUID ParseGuid(const char *text)
{
    unsigned d1, d2, d3, b[8];
    EXPECT_EQ(std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                          &b[3], &b[4], &b[5], &b[6], &b[7]),
              11);
    GUID g{d1, uint16_t(d2), uint16_t(d3), {}};
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = uint8_t(b[i]);
    return g;
}

// Node identifier 7 is node 3, identifier 12 node 0; every identifier asked is kept.
std::vector<ULONG> g_Asked;
BOOLEAN Resolve(PVOID, ULONG nodeId, PULONG nodeIndex)
{
    g_Asked.push_back(nodeId);
    *nodeIndex = nodeId == 7 ? 3 : 0;
    return nodeId == 7 || nodeId == 12;
}

using ControlChangeTest = KernelTest;

TEST_F(ControlChangeTest, OneNodeOfOneKindRaisesANodeEvent)
{
    EXPECT_EQ(IID_IPortEvents, ParseGuid("{A80F29C4-5498-11D2-95D9-00C04FB925D3}"));
    const ULONG words[4] = {1, 1, 7, 0};
    const ControlChangeMessage message = MakeControlChangeMessage(7), second = MakeControlChangeMessage(12);
    static_assert(sizeof(message) == sizeof(words));
    EXPECT_EQ(std::memcmp(&message, words, sizeof(words)), 0);

    RecordingPortEvents events;
    g_Asked.clear();
    EXPECT_EQ(RaiseControlChange(&events, &message, Resolve, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(RaiseControlChange(&events, &second, Resolve, nullptr), STATUS_SUCCESS);
    const GUID set = ParseGuid("{E85E9698-FA2F-11D1-95BD-00C04FB925D3}");
    EXPECT_EQ(events.Generated(), (std::vector<GeneratedEvent>{{set, 0, FALSE, 0xFFFFFFFFu, TRUE, 3},
                                                               {set, 0, FALSE, 0xFFFFFFFFu, TRUE, 0}}));
    EXPECT_EQ(g_Asked, (std::vector<ULONG>{7, 12}));
    EXPECT_EQ(events.References(), 0u);
}

TEST_F(ControlChangeTest, OtherMessagesRaiseNothing)
{
    RecordingPortEvents events;
    g_Asked.clear();
    for (const ControlChangeMessage &m :
         {ControlChangeMessage{2, 1, 7, 0}, {1, 0, 7, 0}, {1, 2, 7, 0}, {0, 0, 7, 0}})
        EXPECT_EQ(RaiseControlChange(&events, &m, Resolve, nullptr), STATUS_INVALID_PARAMETER)
            << m.Count << m.Type;
    EXPECT_TRUE(g_Asked.empty());
    const ControlChangeMessage unknownNode = MakeControlChangeMessage(8), good = MakeControlChangeMessage(7);
    EXPECT_EQ(RaiseControlChange(&events, &unknownNode, Resolve, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RaiseControlChange(nullptr, &good, Resolve, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RaiseControlChange(&events, nullptr, Resolve, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RaiseControlChange(&events, &good, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(events.Generated().empty());
}

TEST_F(ControlChangeTest, EventHandlerVerbs)
{
    RecordingPortEvents events;
    auto *entry = reinterpret_cast<PKSEVENT_ENTRY>(0x5000);
    const PCEVENT_ITEM item{&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, 0, nullptr};
    PCEVENT_REQUEST request{nullptr, nullptr, 2, &item, entry, 1};
    EXPECT_EQ(ControlChangeEventHandler(&request, &events), STATUS_SUCCESS);
    EXPECT_EQ(events.Added(), (std::vector<PKSEVENT_ENTRY>{entry}));
    for (ULONG verb : {2u, 4u}) // remove, support: nothing to do, with or without port events
    {
        request.Verb = verb;
        EXPECT_EQ(ControlChangeEventHandler(&request, &events), STATUS_SUCCESS) << verb;
        EXPECT_EQ(ControlChangeEventHandler(&request, nullptr), STATUS_SUCCESS) << verb;
    }
    for (ULONG verb : {0u, 3u, 5u, 8u, 0x200u, 0xFFFFFFFFu})
    {
        request.Verb = verb;
        EXPECT_EQ(ControlChangeEventHandler(&request, &events), STATUS_INVALID_PARAMETER) << verb;
    }
    request.Verb = 1;
    EXPECT_EQ(ControlChangeEventHandler(&request, nullptr), STATUS_UNSUCCESSFUL); // no port events
    request.EventEntry = nullptr;
    EXPECT_EQ(ControlChangeEventHandler(&request, &events), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ControlChangeEventHandler(nullptr, &events), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(events.Added().size(), 1u); // only the one good add reached the port
    EXPECT_EQ(events.References(), 0u);
}

} // namespace
