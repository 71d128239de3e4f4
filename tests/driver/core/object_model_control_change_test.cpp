// Control changes: the KSEVENT_CONTROL_CHANGE a message raises, and the event handler's verbs.
#include "driver/core/control_change.h"
#include "support/kernel_test.h"
#include "support/recording_port_events.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

namespace
{

// Reads "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" the way identifiers are written down.
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

struct Resolver
{
    std::map<ULONG, ULONG> indexOf;
    std::vector<ULONG> asked;

    static BOOLEAN Resolve(PVOID context, ULONG nodeId, PULONG nodeIndex)
    {
        auto *self = static_cast<Resolver *>(context);
        self->asked.push_back(nodeId);
        auto it = self->indexOf.find(nodeId);
        if (it == self->indexOf.end())
            return FALSE;
        *nodeIndex = it->second;
        return TRUE;
    }
};

using ControlChangeTest = KernelTest;

TEST_F(ControlChangeTest, PublishedIdentifiers)
{
    EXPECT_EQ(KSEVENTSETID_AudioControlChange, ParseGuid("{E85E9698-FA2F-11D1-95BD-00C04FB925D3}"));
    EXPECT_EQ(IID_IPortEvents, ParseGuid("{A80F29C4-5498-11D2-95D9-00C04FB925D3}"));
    EXPECT_EQ(KSEVENT_CONTROL_CHANGE, 0u);
    const ControlChangeMessage message = MakeControlChangeMessage(9);
    const ULONG words[4] = {1, 1, 9, 0};
    static_assert(sizeof(message) == sizeof(words));
    EXPECT_EQ(std::memcmp(&message, words, sizeof(words)), 0);
}

TEST_F(ControlChangeTest, OneNodeOfOneKindRaisesANodeEvent)
{
    RecordingPortEvents events;
    Resolver resolver{{{7, 3}, {12, 0}}, {}};
    const ControlChangeMessage message = MakeControlChangeMessage(7);
    EXPECT_EQ(RaiseControlChange(&events, &message, Resolver::Resolve, &resolver), STATUS_SUCCESS);
    const ControlChangeMessage second = MakeControlChangeMessage(12);
    EXPECT_EQ(RaiseControlChange(&events, &second, Resolver::Resolve, &resolver), STATUS_SUCCESS);

    const GUID set = ParseGuid("{E85E9698-FA2F-11D1-95BD-00C04FB925D3}");
    ASSERT_EQ(events.Generated().size(), 2u);
    EXPECT_EQ(events.Generated()[0], (GeneratedEvent{set, 0, FALSE, 0xFFFFFFFFu, TRUE, 3}));
    EXPECT_EQ(events.Generated()[1], (GeneratedEvent{set, 0, FALSE, 0xFFFFFFFFu, TRUE, 0}));
    EXPECT_EQ(resolver.asked, (std::vector<ULONG>{7, 12}));
    EXPECT_EQ(events.References(), 0u);
}

TEST_F(ControlChangeTest, OtherMessagesRaiseNothing)
{
    RecordingPortEvents events;
    Resolver resolver{{{7, 3}}, {}};
    const ControlChangeMessage shapes[] = {{2, 1, 7, 0}, {1, 0, 7, 0}, {1, 2, 7, 0}, {0, 0, 7, 0}};
    for (const ControlChangeMessage &m : shapes)
        EXPECT_EQ(RaiseControlChange(&events, &m, Resolver::Resolve, &resolver), STATUS_INVALID_PARAMETER)
            << m.Count << "/" << m.Type;
    EXPECT_TRUE(resolver.asked.empty());

    const ControlChangeMessage unknownNode = MakeControlChangeMessage(8);
    EXPECT_EQ(RaiseControlChange(&events, &unknownNode, Resolver::Resolve, &resolver), STATUS_UNSUCCESSFUL);
    const ControlChangeMessage good = MakeControlChangeMessage(7);
    EXPECT_EQ(RaiseControlChange(nullptr, &good, Resolver::Resolve, &resolver), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RaiseControlChange(&events, nullptr, Resolver::Resolve, &resolver), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RaiseControlChange(&events, &good, nullptr, &resolver), STATUS_INVALID_PARAMETER);
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

    for (ULONG verb : {2u, 4u})
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
    EXPECT_TRUE(events.Generated().empty());
    EXPECT_EQ(events.References(), 0u);
}

} // namespace
