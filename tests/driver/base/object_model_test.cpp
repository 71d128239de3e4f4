// The object model: identifier comparison, the query pattern, reference counts, aggregation.
#include "driver/base/object_model.h"
#include "driver/base/pool_memory.h"
#include "support/kernel_test.h"

namespace
{

// {6B29FC40-CA47-1067-B31D-00DD010662DA} and {0E4E4B1A-7C55-4A1C-9C6B-3D1F0A2E5B77}
constexpr GUID IID_IThing = {0x6B29FC40, 0xCA47, 0x1067, {0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}};
constexpr GUID IID_IOther = {0x0E4E4B1A, 0x7C55, 0x4A1C, {0x9C, 0x6B, 0x3D, 0x1F, 0x0A, 0x2E, 0x5B, 0x77}};
constexpr GUID IID_INobody = {0x0E4E4B1A, 0x7C55, 0x4A1C, {0x9C, 0x6B, 0x3D, 0x1F, 0x0A, 0x2E, 0x5B, 0x78}};

struct IThing : IUnknown
{
    virtual ULONG Value() = 0;
    virtual NTSTATUS Unprovided() = 0;
};
struct IOther : IUnknown
{
    virtual ULONG Twice() = 0;
};

int g_Constructed;
int g_Destroyed;

// Two interfaces before the unknown part, as the driver's classes lay them out.
class CThing : public IThing, public IOther, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    CThing(PUNKNOWN outer, ULONG value) : CUnknownBase(outer), m_Value(value) { ++g_Constructed; }
    ~CThing() override { ++g_Destroyed; }
    ULONG Value() override { return m_Value; }
    NTSTATUS Unprovided() override { return NotImplemented(); }
    ULONG Twice() override { return 2 * m_Value; }
    LONG References() const { return m_RefCount; }

private:
    ULONG m_Value;
};

NTSTATUS CThing::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(
        iid, object, static_cast<IThing *>(this),
        {{IID_IThing, static_cast<IThing *>(this)}, {IID_IOther, static_cast<IOther *>(this)}});
}

// An aggregating object's controlling unknown that records what reaches it.
class RecordingOuter final : public IUnknown
{
public:
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        ++m_Queries;
        m_LastIid = iid;
        *object = nullptr;
        return STATUS_NOT_SUPPORTED;
    }
    ULONG AddRef() override { return ++m_References; }
    ULONG Release() override { return --m_References; }

    int m_Queries = 0;
    GUID m_LastIid = {};
    ULONG m_References = 0;
};

struct ObjectModelTest : KernelTest
{
    void SetUp() override
    {
        KernelTest::SetUp();
        g_Constructed = g_Destroyed = 0;
    }
};

TEST_F(ObjectModelTest, IsEqualIdComparesAllSixteenBytes)
{
    EXPECT_TRUE(IsEqualId(IID_IUnknown, GUID{0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}));
    for (int byte = 0; byte < 16; ++byte)
    {
        GUID changed = IID_IThing;
        reinterpret_cast<uint8_t *>(&changed)[byte] ^= 0x80;
        EXPECT_FALSE(IsEqualId(IID_IThing, changed)) << "byte " << byte;
    }
    EXPECT_EQ(NotImplemented(), NTSTATUS(0xC0000002));
}

TEST_F(ObjectModelTest, StandaloneObjectAnswersItsInterfacesAndDiesOnLastRelease)
{
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(NewObject<CThing>(&unknown, nullptr, NonPagedPool, PoolTag::Stre, 21u), STATUS_SUCCESS);
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(g_Constructed, 1);
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::Stre), sizeof(CThing));

    IThing *thing = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IThing, reinterpret_cast<PVOID *>(&thing)), STATUS_SUCCESS);
    EXPECT_EQ(thing->Value(), 21u);
    EXPECT_EQ(thing->Unprovided(), STATUS_NOT_IMPLEMENTED);
    auto *object = static_cast<CThing *>(thing);
    EXPECT_EQ(object->References(), 2);

    // IID_IUnknown answers with the first interface; the query goes through the object's own
    // forwarders when it is not aggregated.
    PVOID asUnknown = nullptr;
    ASSERT_EQ(thing->QueryInterface(IID_IUnknown, &asUnknown), STATUS_SUCCESS);
    EXPECT_EQ(asUnknown, static_cast<PVOID>(static_cast<IThing *>(object)));
    EXPECT_EQ(object->References(), 3);

    IOther *other = nullptr;
    ASSERT_EQ(thing->QueryInterface(IID_IOther, reinterpret_cast<PVOID *>(&other)), STATUS_SUCCESS);
    EXPECT_EQ(other->Twice(), 42u);
    EXPECT_EQ(object->References(), 4);

    PVOID none = reinterpret_cast<PVOID>(0x1234);
    EXPECT_EQ(other->QueryInterface(IID_INobody, &none), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(unknown->QueryInterface(IID_IThing, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object->References(), 4);

    EXPECT_EQ(other->Release(), 3u);
    EXPECT_EQ(static_cast<IThing *>(asUnknown)->Release(), 2u);
    EXPECT_EQ(thing->Release(), 1u);
    EXPECT_EQ(g_Destroyed, 0);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(g_Destroyed, 1);
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::Stre), 0u);
}

TEST_F(ObjectModelTest, AggregatedObjectForwardsToItsOuterUnknown)
{
    RecordingOuter outer;
    PUNKNOWN inner = nullptr;
    ASSERT_EQ(NewObject<CThing>(&inner, &outer, PagedPool, PoolTag::UAC1, 5u), STATUS_SUCCESS);
    // The creator's reference is on the inner object itself, not on the outer one.
    EXPECT_EQ(outer.m_References, 0u);

    IThing *thing = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IThing, reinterpret_cast<PVOID *>(&thing)), STATUS_SUCCESS);
    auto *object = static_cast<CThing *>(thing);
    EXPECT_EQ(outer.m_References, 1u); // the handed-out interface holds the aggregate
    EXPECT_EQ(object->References(), 1);

    thing->AddRef();
    EXPECT_EQ(outer.m_References, 2u);
    PVOID asked = nullptr;
    EXPECT_EQ(thing->QueryInterface(IID_IOther, &asked), STATUS_NOT_SUPPORTED); // the outer answers
    EXPECT_EQ(outer.m_Queries, 1);
    EXPECT_TRUE(IsEqualId(outer.m_LastIid, IID_IOther));
    thing->Release();
    thing->Release();
    EXPECT_EQ(outer.m_References, 0u);
    EXPECT_EQ(g_Destroyed, 0);

    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(g_Destroyed, 1);
    EXPECT_EQ(outer.m_References, 0u);
}

TEST_F(ObjectModelTest, CreationWithoutMemoryFailsCleanly)
{
    sim::FailAllocation(1);
    PUNKNOWN unknown = reinterpret_cast<PUNKNOWN>(0x1);
    EXPECT_EQ(NewObject<CThing>(&unknown, nullptr, NonPagedPool, PoolTag::Stre, 1u),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(g_Constructed, 0);
    EXPECT_EQ(NewObject<CThing>(nullptr, nullptr, NonPagedPool, PoolTag::Stre, 1u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(g_Constructed, 0);
}

} // namespace
