#include "hid_rig.h"

#include <set>
#include <thread>

namespace
{
Bytes status(uint8_t s, size_t length = 16)
{
    Bytes r(length, 0);
    r[0] = 0xFF;
    r[1] = s;
    return r;
}

// Runs the GUI thread's events until cond holds, for a bounded number of rounds. Virtual time is no
// bound: a poll that this thread cannot keep up with runs the clock ahead in a few real milliseconds.
template <typename F> bool until(F cond)
{
    for (long round = 0; !cond(); ++round)
    {
        QCoreApplication::processEvents();
        if (round > 200000)
            return cond();
        std::this_thread::yield();
    }
    return true;
}

int reads(HidRig &rig)
{
    return static_cast<int>(rig.of(SimDir::Read, 3).size());
}
} // namespace

TEST(HidPoll, StatusReportsReachSupportDataAndTheHost)
{
    HidRig rig;
    rig.hid->setSupportData(0x12345678);
    rig.sim.queueInput(3, status(0x40));
    rig.hid->startPollingUSBVendorCmd();
    ASSERT_TRUE(until([&] { return rig.hid->getSupportData().toUInt() == 0x12344078u; }));
    // Other statuses, no report, and reports of the wrong size leave the bits alone.
    for (const Bytes &r : {status(0x05), status(0x80, 15), status(0x80, 17), status(0)})
        rig.sim.queueInput(3, r);
    ASSERT_TRUE(until([&] { return reads(rig) >= 5; }));
    ASSERT_TRUE(until([&] { return rig.host.statuses.size() >= 3; }));
    rig.hid->stopPollingUSBVendorCmd();
    QCoreApplication::processEvents();
    EXPECT_EQ(rig.hid->getSupportData().toUInt(), 0x12344078u);
    EXPECT_EQ(rig.host.statuses, (std::vector<unsigned char>{0x40, 0x05, 0}));
    EXPECT_FALSE(rig.host.offGuiThread);
    EXPECT_EQ(rig.sim.openHandles(), 0);
}

TEST(HidPoll, AQmlReadUsesThePollsHandle)
{
    HidRig rig;
    rig.sim.queueInput(3, status(0x04));
    EXPECT_EQ(rig.hid->readHeadSetData().toInt(), 0x04);
    EXPECT_EQ(rig.hid->readHeadSetData().toInt(), 0); // nothing queued: 300 ms and no report
    EXPECT_EQ(rig.sim.openHandles(), 1);
    EXPECT_EQ(rig.entries(SimDir::Open).size(), 1u);
    rig.sim.queueInput(3, status(0x04, 15));
    EXPECT_EQ(rig.hid->readHeadSetData().toInt(), 0);
    EXPECT_EQ(rig.sim.openHandles(), 0); // a garbled report drops the handle

    // Detection moves the headset to another interface: the poll's handle follows it.
    EXPECT_EQ(rig.hid->readHeadSetData().toInt(), 0);
    SimDeviceConfig moved;
    HidDeviceInfo info = rig.sim.enumerate(0x1003, 1).at(0);
    info.path = "sim:moved";
    moved.entries.push_back(info);
    const int other = rig.sim.addDevice(moved);
    rig.sim.unplug(3);
    rig.hid->detectDevice(3);
    rig.sim.queueInput(other, status(0x80));
    EXPECT_EQ(rig.hid->readHeadSetData().toInt(), 0x80);
    const auto opens = rig.entries(SimDir::Open);
    EXPECT_EQ(opens.back().path, "sim:moved");
    EXPECT_EQ(rig.entries(SimDir::Close).back().handle, opens[opens.size() - 2].handle);
    EXPECT_EQ(rig.sim.openHandles(), 1);
}

// With no device to open the poll waits 300 ms between attempts instead of spinning; detection keeps
// finding the device (its enumeration entry is there), so each attempt reaches the transport.
TEST(HidPoll, AnAbsentHeadsetIsRetriedAtAPace)
{
    QtLogCapture quiet;
    HidRig rig;
    rig.sim.addFault(3, {SimStep::Open, SimFaultKind::Fail, -1, -1, 0, -1});
    const int64_t start = rig.now();
    rig.hid->startPollingUSBVendorCmd();
    // Counted by attempts, not by elapsed time: while this thread is starved the poll may sleep
    // through several rounds with the path cleared, and only the pace between attempts is the point.
    ASSERT_TRUE(until(
        [&]
        {
            rig.hid->detectDevice(3);
            return rig.entries(SimDir::Open).size() >= 4;
        }));
    rig.hid->stopPollingUSBVendorCmd();
    const size_t after = rig.sim.log().size();
    const double seconds = double(rig.now() - start) / 1000.0;
    const auto opens = rig.entries(SimDir::Open);
    EXPECT_GE(opens.size(), 4u);
    EXPECT_LE(double(opens.size()), 4 * seconds + 1);
    // Stop returns after the loop has ended: nothing moves afterwards.
    for (int i = 0; i < 1000; ++i)
        std::this_thread::yield();
    EXPECT_EQ(rig.sim.log().size(), after);
}

TEST(HidPoll, AnUnpluggedHeadsetIsReopenedAfterReplug)
{
    HidRig rig;
    rig.sim.setPeriodicInput(3, status(0x80), 100);
    rig.hid->startPollingUSBVendorCmd();
    ASSERT_TRUE(until([&] { return reads(rig) >= 3; }));
    rig.sim.unplug(3);
    ASSERT_TRUE(until([&] { return rig.sim.openHandles() == 0; }));
    rig.sim.clearLog();
    rig.sim.replug(3);
    rig.hid->detectDevice(3);
    ASSERT_TRUE(until([&] { return reads(rig) >= 3; }));
    rig.hid->stopPollingUSBVendorCmd();
    EXPECT_EQ(rig.hid->getSupportData().toUInt() >> 8 & 0xFF, 0x80u);
    EXPECT_EQ(rig.sim.staleHandleCalls(), 0);
}

// Commands to the headset interleave with the poll; the poll reads only on its own handle and no call
// ever names a closed handle.
TEST(HidPoll, CommandsAndThePollKeepToTheirHandles)
{
    QtLogCapture quiet;
    HidRig rig;
    for (int i = 0; i < 3000; ++i)
        rig.sim.queueInput(3, status(0x40));
    rig.hid->startPollingUSBVendorCmd();
    for (int i = 0; i < 10000; ++i)
    {
        switch (i % 4)
        {
        case 0:
            rig.hid->headSetSetLEDConfig(1, 2, 3, 4, i & 0xFF);
            break;
        case 1:
            rig.hid->hid560_02H_SetCurrentProfile(3, i & 3);
            break;
        case 2:
            rig.hid->readHeadSetData();
            break;
        default:
            if (i % 400 == 3)
            {
                rig.sim.unplug(3);
                rig.hid->readHeadSetData();
                rig.sim.replug(3);
                rig.hid->detectDevice(3);
            }
            break;
        }
        QCoreApplication::processEvents();
    }
    rig.hid->stopPollingUSBVendorCmd();
    std::set<HidHandle> readers, writers;
    for (const SimLogEntry &e : rig.sim.log())
    {
        if (e.dir == SimDir::Read)
            readers.insert(e.handle);
        if (e.dir == SimDir::Write || e.dir == SimDir::FeatureSet)
            writers.insert(e.handle);
    }
    EXPECT_FALSE(readers.empty());
    for (HidHandle h : readers)
        EXPECT_EQ(writers.count(h), 0u) << h;
    EXPECT_EQ(rig.sim.staleHandleCalls(), 0);
    EXPECT_EQ(rig.sim.openHandles(), 0);
}
