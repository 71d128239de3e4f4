// The engine's wave endpoint registration against the port-class stand-in: present while the jack
// reports connected, connected to the topology filter in the direction of the stream, and nothing
// left behind by any failure.
#include "driver/filters/stream_engine.h"

#include <sim/portcls_sim.h>

#include "support/engine_doubles.h"
#include "support/hal_doubles.h"
#include "support/kernel_test.h"

#include <string>
#include <vector>

namespace
{

using engine_test::CreateFakeWave;
using engine_test::FakeTopologyMiniport;
using engine_test::Jack;
using engine_test::ScriptedTerminal;
using engine_test::Wave;
using sim::portcls::Entry;

constexpr WideText kTopologyName("Topology");

class EngineRegistrationTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        Wave() = engine_test::WaveScript{};
    }
    void TearDown() override
    {
        if (engine)
        {
            EXPECT_EQ(engine->Unregister(&device), STATUS_SUCCESS);
        }
        if (topologyPort)
        {
            PVOID object = nullptr;
            if (NT_SUCCESS(topologyPort->QueryInterface(IID_IUnregisterSubdevice, &object)))
            {
                auto *unregister = static_cast<IUnregisterSubdevice *>(object);
                EXPECT_EQ(unregister->UnregisterSubdevice(&device, topologyPort), STATUS_SUCCESS);
                unregister->Release();
            }
        }
        if (terminal)
            terminal->Release();
        if (engine)
            engine->Release();
        if (hal)
            hal->Release();
        if (topologyMiniport)
            topologyMiniport->Release();
        if (topologyPort)
            topologyPort->Release();
        KernelTest::TearDown();
    }

    // An engine of `engineId` with a terminal of the matching kind whose jack reads `connected`, in a
    // HAL (unless `inHal` is false), with the topology filter registered.
    void Build(ULONG engineId, ULONG connected, bool inHal = true, bool pcm = true)
    {
        engine = engine_test::MakeEngine();
        ASSERT_EQ(engine->Initialize(engineId), STATUS_SUCCESS);
        if (pcm)
        {
            ASSERT_EQ(engine->AddFormat(engine_test::MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16)),
                      STATUS_SUCCESS);
        }
        ASSERT_EQ(engine->SetMiniport(&CreateFakeWave, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        terminal = engine_test::Make<ScriptedTerminal>(
            3, engineId ? NODE_KIND_INPUT_TERMINAL : NODE_KIND_OUTPUT_TERMINAL, engineId ? 7 : 2);
        terminal->jacks = {Jack(0), Jack(connected)};
        ASSERT_EQ(engine->AttachNode(terminal), STATUS_SUCCESS);

        hal = hal_test::Make<hal_test::TestHal>();
        hal->startEngines.clear();
        if (inHal)
            hal->startEngines.push_back(engine);
        ASSERT_EQ(hal->Init(nullptr, &device, nullptr, nullptr), STATUS_SUCCESS);

        ASSERT_EQ(PcNewPort(&topologyPort, CLSID_PortTopology), STATUS_SUCCESS);
        topologyMiniport = engine_test::Make<FakeTopologyMiniport>();
        topologyMiniport->bridgeFlow = engineId ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
        ASSERT_EQ(topologyPort->Init(&device, nullptr, static_cast<IMiniportTopology *>(topologyMiniport),
                                     nullptr, nullptr),
                  STATUS_SUCCESS);
        ASSERT_EQ(PcRegisterSubdevice(&device, kTopologyName, topologyPort), STATUS_SUCCESS);
    }
    NTSTATUS SetTopology()
    {
        return engine->SetTopology(topologyPort, static_cast<IMiniportTopology *>(topologyMiniport));
    }
    NTSTATUS Update() { return engine->UpdateRegistration(&device, nullptr, static_cast<IAudioHal *>(hal)); }

    // Nothing but the topology filter is registered and no wave port lives.
    void ExpectNothingRegistered()
    {
        const auto subdevices = sim::portcls::Subdevices();
        ASSERT_EQ(subdevices.size(), 1u);
        EXPECT_EQ(subdevices[0].Name, "Topology");
        EXPECT_TRUE(sim::portcls::Connections().empty());
        EXPECT_EQ(sim::portcls::LivePorts(), 1u);
        EXPECT_EQ(engine->WavePort(), nullptr);
    }

    DEVICE_OBJECT device{};
    CStreamEngine *engine = nullptr;
    ScriptedTerminal *terminal = nullptr;
    hal_test::TestHal *hal = nullptr;
    PPORT topologyPort = nullptr;
    FakeTopologyMiniport *topologyMiniport = nullptr;
};

TEST_F(EngineRegistrationTest, ARenderEndpointComesAndGoesWithItsJack)
{
    Build(0, 1);
    ASSERT_EQ(SetTopology(), STATUS_SUCCESS);
    sim::portcls::ClearLog();
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    EXPECT_EQ(Wave().lastEngineIndex, 0u);
    EXPECT_EQ(topologyMiniport->asked, std::vector<ULONG>{5});
    const auto subdevices = sim::portcls::Subdevices();
    ASSERT_EQ(subdevices.size(), 2u);
    EXPECT_EQ(subdevices[1].Name, "HPOut00Wave");
    const auto connections = sim::portcls::Connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].From, subdevices[1].Port);
    EXPECT_EQ(connections[0].FromPin, 1u);
    EXPECT_EQ(connections[0].To, topologyPort);
    EXPECT_EQ(connections[0].ToPin, 7u);
    EXPECT_EQ(engine->TopologyPin(), 7u);
    // Still present: nothing more happens.
    EXPECT_EQ(Update(), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::Subdevices().size(), 2u);

    // Unplugged: the connection goes first, then the sub-device; no record is left.
    terminal->jacks[1].IsConnected = 0;
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    EXPECT_EQ(
        sim::portcls::LogLines(),
        (std::vector<std::string>{"RegisterSubdevice HPOut00Wave", "RegisterPhysicalConnection 1->7",
                                  "UnregisterPhysicalConnection 1->7", "UnregisterSubdevice HPOut00Wave"}));
    ExpectNothingRegistered();

    // A terminal with no jack records counts as present.
    terminal->jacks.clear();
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::Subdevices().size(), 2u);
}

TEST_F(EngineRegistrationTest, ACaptureEndpointConnectsFromTheTopology)
{
    Build(1, 1);
    ASSERT_EQ(SetTopology(), STATUS_SUCCESS);
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    const auto connections = sim::portcls::Connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].From, topologyPort);
    EXPECT_EQ(connections[0].FromPin, 7u);
    EXPECT_EQ(connections[0].ToPin, 1u);
    terminal->jacks[1].IsConnected = 0;
    sim::portcls::ClearLog();
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::LogLines(), (std::vector<std::string>{"UnregisterPhysicalConnection 7->1",
                                                                  "UnregisterSubdevice HPOut00Wave"}));
    ExpectNothingRegistered();
}

TEST_F(EngineRegistrationTest, RefusedRegistrationsLeaveNothing)
{
    Build(0, 1, false);
    // No creation function at all.
    CStreamEngine *bare = engine_test::MakeEngine();
    ASSERT_EQ(bare->Initialize(0), STATUS_SUCCESS);
    EXPECT_EQ(bare->UpdateRegistration(&device, nullptr, static_cast<IAudioHal *>(hal)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare->SetMiniport(nullptr, CLSID_PortWaveCyclic), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(bare->SetTopology(nullptr, static_cast<IMiniportTopology *>(topologyMiniport)),
              STATUS_NO_SUCH_DEVICE);
    bare->Release();

    // No topology yet.
    EXPECT_EQ(Update(), STATUS_UNSUCCESSFUL);
    ExpectNothingRegistered();
    ASSERT_EQ(SetTopology(), STATUS_SUCCESS);
    // Not in the HAL's engine list.
    EXPECT_EQ(Update(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine->UpdateRegistration(&device, nullptr, nullptr), STATUS_UNSUCCESSFUL);
    ExpectNothingRegistered();
    EXPECT_EQ(Wave().created, 0);
}

TEST_F(EngineRegistrationTest, MiniportFailuresAndAMissingTerminalLeaveNothing)
{
    Build(0, 1);
    ASSERT_EQ(SetTopology(), STATUS_SUCCESS);

    // The terminal query leaves its out value alone: registering would pick an arbitrary pin.
    Wave().writesTerminal = false;
    EXPECT_EQ(Update(), STATUS_UNSUCCESSFUL);
    ExpectNothingRegistered();
    Wave().writesTerminal = true;
    Wave().terminalStatus = STATUS_NOT_IMPLEMENTED;
    EXPECT_EQ(Update(), STATUS_UNSUCCESSFUL);
    ExpectNothingRegistered();
    Wave().terminalStatus = STATUS_SUCCESS;
    Wave().nameStatus = STATUS_NOT_IMPLEMENTED;
    EXPECT_EQ(Update(), STATUS_NOT_IMPLEMENTED);
    ExpectNothingRegistered();
    Wave().nameStatus = STATUS_SUCCESS;
    topologyMiniport->pinStatus = STATUS_NO_SUCH_DEVICE;
    EXPECT_EQ(Update(), STATUS_NO_SUCH_DEVICE);
    ExpectNothingRegistered();
    topologyMiniport->pinStatus = STATUS_SUCCESS;

    // The miniport's Init fails: its status comes back.
    Wave().initStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(Update(), STATUS_DEVICE_BUSY);
    ExpectNothingRegistered();
    Wave().initStatus = STATUS_SUCCESS;
    sim::portcls::FailNext(Entry::PortInit, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Update(), STATUS_INVALID_DEVICE_REQUEST);
    ExpectNothingRegistered();
    Wave().createStatus = STATUS_NO_SUCH_DEVICE;
    EXPECT_EQ(Update(), STATUS_NO_SUCH_DEVICE);
    ExpectNothingRegistered();
    Wave().createStatus = STATUS_SUCCESS;

    // A name already taken, and a connection the framework refuses: the sub-device goes again, so
    // the next update retries.
    sim::portcls::FailNext(Entry::RegisterSubdevice, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Update(), STATUS_OBJECT_NAME_COLLISION);
    ExpectNothingRegistered();
    sim::portcls::FailNext(Entry::RegisterPhysicalConnection, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Update(), STATUS_INVALID_PARAMETER);
    ExpectNothingRegistered();
    EXPECT_EQ(Update(), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::Subdevices().size(), 2u);
}

TEST_F(EngineRegistrationTest, UnregisterRemovesTheSubdeviceEvenWhenTheConnectionFails)
{
    Build(0, 1);
    ASSERT_EQ(SetTopology(), STATUS_SUCCESS);
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    sim::portcls::FailNext(Entry::UnregisterPhysicalConnection, STATUS_DEVICE_BUSY);
    sim::portcls::FailNext(Entry::UnregisterSubdevice, STATUS_INVALID_PARAMETER);
    // The first failure is returned; the wave port is let go all the same.
    EXPECT_EQ(engine->Unregister(&device), STATUS_DEVICE_BUSY);
    EXPECT_EQ(engine->WavePort(), nullptr);
    // The stand-in still holds the records it was told to keep; take them out as the framework
    // would on removal, so the test ends clean.
    const auto connections = sim::portcls::Connections();
    const auto subdevices = sim::portcls::Subdevices();
    ASSERT_EQ(subdevices.size(), 2u);
    PVOID object = nullptr;
    ASSERT_EQ(subdevices[1].Port->QueryInterface(IID_IUnregisterPhysicalConnection, &object), STATUS_SUCCESS);
    auto *connection = static_cast<IUnregisterPhysicalConnection *>(object);
    EXPECT_EQ(connection->UnregisterPhysicalConnection(&device, subdevices[1].Port, 1, topologyPort, 7),
              STATUS_SUCCESS);
    connection->Release();
    ASSERT_EQ(subdevices[1].Port->QueryInterface(IID_IUnregisterSubdevice, &object), STATUS_SUCCESS);
    auto *subdevice = static_cast<IUnregisterSubdevice *>(object);
    EXPECT_EQ(subdevice->UnregisterSubdevice(&device, subdevices[1].Port), STATUS_SUCCESS);
    subdevice->Release();
    ExpectNothingRegistered();

    // Only the connection fails: the sub-device still goes.
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    PUNKNOWN wave = engine->WavePort();
    wave->AddRef(); // so the stale connection can be named afterwards
    sim::portcls::FailNext(Entry::UnregisterPhysicalConnection, STATUS_DEVICE_BUSY);
    EXPECT_EQ(engine->Unregister(&device), STATUS_DEVICE_BUSY);
    EXPECT_EQ(engine->WavePort(), nullptr);
    EXPECT_EQ(sim::portcls::Subdevices().size(), 1u);
    ASSERT_EQ(sim::portcls::Connections().size(), 1u);
    ASSERT_EQ(wave->QueryInterface(IID_IUnregisterPhysicalConnection, &object), STATUS_SUCCESS);
    connection = static_cast<IUnregisterPhysicalConnection *>(object);
    EXPECT_EQ(connection->UnregisterPhysicalConnection(&device, wave, 1, topologyPort, 7), STATUS_SUCCESS);
    connection->Release();
    wave->Release();
    ExpectNothingRegistered();
}

// A connected endpoint whose device left it no PCM format (its alternate settings did not fit) would
// fail its pin and the whole start: it stays away, says why once, and registers once it has one.
TEST_F(EngineRegistrationTest, AnEndpointWithoutAPcmFormatStaysAwayAndSaysWhyOnce)
{
    Build(0, 1, true, false);
    ASSERT_EQ(SetTopology(), STATUS_SUCCESS);
    sim::ClearDebugLog();
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    ExpectNothingRegistered();
    EXPECT_EQ(sim::DebugLogCount("not registered: no PCM format its endpoint carries"), 1u);
    // Without a connected jack the reason is the jack.
    terminal->jacks[1].IsConnected = 0;
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    EXPECT_EQ(sim::DebugLogCount("not registered: no connected jack on its terminal"), 1u);
    terminal->jacks[1].IsConnected = 1;
    ASSERT_EQ(engine->AddFormat(engine_test::MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16)), STATUS_SUCCESS);
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::Subdevices().size(), 2u);
    ASSERT_EQ(engine->Unregister(&device), STATUS_SUCCESS);
}

TEST_F(EngineRegistrationTest, EachAllocationOfARegistrationMayFail)
{
    Build(0, 1);
    ASSERT_EQ(SetTopology(), STATUS_SUCCESS);
    const size_t before = sim::Allocations();
    ASSERT_EQ(Update(), STATUS_SUCCESS);
    const size_t count = sim::Allocations() - before;
    ASSERT_EQ(engine->Unregister(&device), STATUS_SUCCESS);
    ASSERT_GE(count, 4u); // jack records, port, miniport, sub-device record
    for (size_t k = 1; k <= count; ++k)
    {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(count));
        sim::FailAllocation(unsigned(k));
        EXPECT_EQ(Update(), STATUS_INSUFFICIENT_RESOURCES);
        sim::FailAllocation(0);
        ExpectNothingRegistered();
    }
    EXPECT_EQ(Update(), STATUS_SUCCESS);
}

} // namespace
