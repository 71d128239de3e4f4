// The records that cross the driver's boundaries keep their fixed layouts, and the identifiers that
// other objects answer keep their values.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "driver/filters/control_change.h"
#include "driver/filters/audio_hal_interfaces.h"
#include "driver/filters/node_interfaces.h"
#include <pc_power.h>

TEST(NodeInterfaces, RecordLayouts)
{
    EXPECT_EQ(sizeof(JackRecord), 36u);
    EXPECT_EQ(offsetof(JackRecord, IsConnected), 28u);
    EXPECT_EQ(sizeof(WAVEFORMATEX), 18u);
    EXPECT_EQ(sizeof(WAVEFORMATEXTENSIBLE), 40u);
    EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask), 20u);
    EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, SubFormat), 24u);
    EXPECT_EQ(sizeof(ControlChangeMessage), 16u);

    // Handles and pointers follow the machine's pointer size; the rest is fixed.
    EXPECT_EQ(sizeof(StreamClientRecord::ClientHandle), sizeof(void *));
    EXPECT_EQ(offsetof(StreamClientRecord, ClientHandle), sizeof(void *));
    EXPECT_EQ(sizeof(CyclicControlMessage::RunningClient), sizeof(void *));
    EXPECT_EQ(sizeof(CyclicControlMessage::Value1), sizeof(void *));
    EXPECT_EQ(sizeof(CyclicControlMessage::Code), 4u);
    EXPECT_EQ(CYCLIC_MSG_POSITION, 1);
    EXPECT_EQ(CYCLIC_MSG_CAPTURE_DATA, 4);
}

TEST(NodeInterfaces, IdentifiersAndSampleType)
{
    // The text form of an identifier against the bytes the compiler laid out.
    const GUID &id = IID_IProcessingNode;
    EXPECT_EQ(id.Data1, 0x1EDBBC0Cu);
    EXPECT_EQ(id.Data4[7], 0xFF);
    EXPECT_FALSE(IID_IAudioNode == IID_IStreamEngine);
    EXPECT_EQ(IID_IAdapterPowerManagement.Data1, 0x793417D0u);

    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.SubFormat = SubFormatForTag(WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(SampleTypeOf(f), WAVE_FORMAT_IEEE_FLOAT);
    f.Format.wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(SampleTypeOf(f), WAVE_FORMAT_PCM);
    // The sub-format's first two bytes in memory are the tag, little-endian.
    unsigned char bytes[16];
    std::memcpy(bytes, &f.SubFormat, 16);
    EXPECT_EQ(bytes[0], 3);
    EXPECT_EQ(bytes[1], 0);
}
