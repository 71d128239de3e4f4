// The bench of the isochronous stream tests: a stream of the class under test over the real USB
// layer and the simulated bus, a recording client and the format records the tests open with.
#pragma once

#include <sim/portcls_sim.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <memory>
#include <mutex>
#include <vector>

#include <sim/audio_client.h>
#include <usbd_lib.h>

#include "driver/base/pool_memory.h"
#include "driver/core/usb_audio_stream.h"
#include "driver/filters/miniport_wave_cyclic.h"
#include "support/engine_doubles.h"
#include "support/miniport_bench.h"
#include "usb_fixture.h"

namespace stream_test
{

// The adapter as the stream reaches it: IUsbLowerRequests is the layer.
class StreamDevice final : public IUnknown
{
public:
    explicit StreamDevice(CUsbDeviceLayer **layer) : m_Layer(layer) {}
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        *object = nullptr;
        if (!*m_Layer || !IsEqualId(iid, IID_IUsbLowerRequests))
            return STATUS_INVALID_PARAMETER;
        (*m_Layer)->AddRef();
        *object = static_cast<IUsbLowerRequests *>(*m_Layer);
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

private:
    CUsbDeviceLayer **m_Layer;
};

inline WAVEFORMATEXTENSIBLE Pcm(ULONG rate, USHORT channels, USHORT bits)
{
    return engine_test::MakeFormat(WAVE_FORMAT_PCM, channels, rate, bits);
}

// A client of the stream: fills render buffers with a running byte counter, keeps capture data, and
// records every message addressed to it.
struct Client
{
    std::mutex guard;
    StreamClientRecord *record = nullptr;
    // Every message in order: its code and its length (position, fill, capture data) or format value.
    struct Message
    {
        LONG code;
        ULONG value;
    };
    std::vector<Message> messages;
    std::vector<ULONG> formatValues;
    uint64_t positionBytes = 0;
    uint64_t filled = 0;
    std::vector<uint8_t> captured;
    uint8_t next = 0;

    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto *self = static_cast<Client *>(context);
        auto *m = static_cast<CyclicControlMessage *>(argument1);
        std::lock_guard<std::mutex> g(self->guard);
        if (!self->record || m->RunningClient != self->record)
            return;
        const bool block = m->Code == CYCLIC_MSG_RENDER_FILL || m->Code == CYCLIC_MSG_CAPTURE_DATA;
        self->messages.push_back({m->Code, block ? m->Value2 : ULONG(m->Value1)});
        switch (m->Code)
        {
        case CYCLIC_MSG_FORMAT:
            self->formatValues.push_back(ULONG(m->Value1));
            break;
        case CYCLIC_MSG_POSITION:
            self->positionBytes += m->Value1;
            break;
        case CYCLIC_MSG_RENDER_FILL:
        {
            auto *p = reinterpret_cast<uint8_t *>(m->Value1);
            for (ULONG i = 0; i < m->Value2; ++i)
                p[i] = self->next++;
            self->filled += m->Value2;
            break;
        }
        case CYCLIC_MSG_CAPTURE_DATA:
        {
            auto *p = reinterpret_cast<uint8_t *>(m->Value1);
            self->captured.insert(self->captured.end(), p, p + m->Value2);
            break;
        }
        default:
            break;
        }
    }
    size_t Count(LONG code)
    {
        std::lock_guard<std::mutex> g(guard);
        return size_t(std::count_if(messages.begin(), messages.end(),
                                    [code](const Message &m) { return m.code == code; }));
    }
};

class UsbStreamTest : public UsbLayerTest
{
protected:
    void TearDown() override
    {
        if (bus)
            Iso().SetSubmitHook(nullptr);
        ReleaseSelection();
        UsbLayerTest::TearDown();
    }

    // Plugs the device, reads it, selects its configuration and makes the stream of `interfaceNumber`.
    // `create` makes the stream as the device class would, `hal` is what it finds nodes in.
    void Bring(std::shared_ptr<usbsim::VirtualDevice> headset, BOOLEAN capture, UCHAR interfaceNumber,
               PFN_CREATE_STREAM create = CreateUac1Stream, const UsbAudioFunctionInputs &inputs = {},
               CAudioHal *hal = nullptr)
    {
        Attach(std::move(headset));
        StartHardware();
        selection = SelectConfiguration();
        ASSERT_NE(selection, nullptr);
        IStreamBuilder *builder = nullptr;
        ASSERT_EQ(create(inputs, capture, interfaceNumber, 0, clockNode, PoolTag::US10, &builder),
                  STATUS_SUCCESS);
        stream = static_cast<CUsbAudioStream *>(builder);
        ASSERT_EQ(stream->InitStream(capture, hal, &device_), STATUS_SUCCESS);
    }

    void ReleaseStream()
    {
        if (stream)
            static_cast<IStreamBuilder *>(stream)->Release();
        stream = nullptr;
    }
    // Ends this round of a multi-round test with the end-of-test checks and starts a fresh bench.
    void NextRound()
    {
        ReleaseSelection();
        Restart();
        heldUp = 0;
    }
    void ReleaseSelection()
    {
        ReleaseStream();
        if (selection)
            ExFreePool(selection);
        selection = nullptr;
    }

    // Offers `format` on `alternate`, registers `client` with it and opens it: the open's status.
    NTSTATUS Open(Client &client, const WAVEFORMATEXTENSIBLE &format, UCHAR alternate)
    {
        stream->AddStreamFormat(format, alternate);
        NTSTATUS status =
            stream->RegisterClient(3, &format, 10, 3, Client::Callback, &client, &client.record);
        ULONG frames = 0, frame = 0;
        return NT_SUCCESS(status) ? stream->OpenClient(client.record->ClientHandle, &frames, &frame) : status;
    }
    // Registers, opens and starts `client` with `format` (alternate `alternate` carries it).
    // Registers and opens `client`; *frame is the frame number the open answered.
    void Open(Client &client, const WAVEFORMATEXTENSIBLE &format, UCHAR alternate, ULONG *frame,
              ULONG fpt = 10, ULONG tif = 3, LONG kind = 3)
    {
        stream->AddStreamFormat(format, alternate);
        ASSERT_EQ(stream->RegisterClient(kind, &format, fpt, tif, Client::Callback, &client, &client.record),
                  STATUS_SUCCESS);
        ULONG frames = 0;
        ASSERT_EQ(stream->OpenClient(client.record->ClientHandle, &frames, frame), STATUS_SUCCESS);
    }
    void Start(Client &client, const WAVEFORMATEXTENSIBLE &format, UCHAR alternate, ULONG fpt = 10,
               ULONG tif = 3, LONG kind = 3, ULONG lead = 2)
    {
        ULONG frame = 0, frames = 0;
        ASSERT_NO_FATAL_FAILURE(Open(client, format, alternate, &frame, fpt, tif, kind));
        ASSERT_EQ(stream->StartClient(client.record->ClientHandle, frame + lead, &frames, nullptr),
                  STATUS_SUCCESS);
    }
    // Closes and unregisters a client that is not running.
    void Close(Client &client)
    {
        PVOID handle = client.record->ClientHandle;
        EXPECT_EQ(stream->CloseClient(handle), STATUS_SUCCESS);
        EXPECT_EQ(stream->UnregisterClient(handle), STATUS_SUCCESS);
        std::lock_guard<std::mutex> g(client.guard);
        client.record = nullptr;
    }
    void Stop(Client &client)
    {
        EXPECT_EQ(stream->StopClient(client.record->ClientHandle, nullptr), STATUS_SUCCESS);
        Close(client);
    }
    usbsim::IsoEngine &Iso() { return bus->Iso(kPort); }
    // The bus's frames move `frames` on while each of the next `times` first transfers of a start or
    // restart to `endpoint` (those due within 5 frames) is on its way to it: a submitter held up
    // between reading the frame number and the bus taking the transfer. heldUp counts them, heldUpTo
    // is the frame the last one found.
    void HoldUpTransfers(uint8_t endpoint, ULONG frames, unsigned times)
    {
        heldUp = 0;
        Iso().SetSubmitHook(
            [this, endpoint, frames, times](usbsim::IsoPipeId, PURB urb)
            {
                const URB_ISOCH_TRANSFER &iso = urb->UrbIsochronousTransfer;
                if (heldUp == times || iso.PipeHandle != bus->PipeHandle(kPort, endpoint) ||
                    LONG(iso.StartFrame - Iso().CurrentFrame()) > 5)
                    return;
                Iso().SetFrameOrigin(++heldUp * frames);
                heldUpTo = Iso().CurrentFrame();
            });
    }
    // The engine's lines for `endpoint` that start with `what` ("iso submit", "iso reject").
    std::vector<std::string> IsoLines(const char *what, uint8_t endpoint)
    {
        char tag[8];
        std::snprintf(tag, sizeof tag, "ep 0x%02X", endpoint);
        std::vector<std::string> lines;
        for (const std::string &line : Iso().Log())
            if (line.rfind(what, 0) == 0 && line.find(tag) != std::string::npos)
                lines.push_back(line);
        return lines;
    }
    // Transfers to `endpoint` the bus took for start frame `frame`.
    size_t SubmitsAt(uint8_t endpoint, ULONG frame)
    {
        const std::string start = " start " + std::to_string(frame) + " ";
        const auto lines = IsoLines("iso submit", endpoint);
        return size_t(std::count_if(lines.begin(), lines.end(),
                                    [&](const std::string &line)
                                    { return line.find(start) != std::string::npos; }));
    }
    unsigned heldUp = 0;
    ULONG heldUpTo = 0;

    std::vector<uint32_t> OutSizes(uint8_t endpoint)
    {
        std::vector<uint32_t> sizes;
        for (const auto &p : Iso().OutPackets(endpoint))
            sizes.push_back(uint32_t(p.bytes.size()));
        return sizes;
    }
    // The one content forward the stand-in recorded: the id and rights, the render data pipe
    // 0x01 as file object and context, the device below as target.
    void ExpectOneForward(ULONG contentId, const DRMRIGHTS &rights)
    {
        const auto forwarded = sim::portcls::ForwardedContents();
        ASSERT_EQ(forwarded.size(), 1u);
        EXPECT_EQ(forwarded[0].ContentId, contentId);
        ASSERT_TRUE(forwarded[0].HasRights);
        EXPECT_EQ(
            std::vector<ULONG>({forwarded[0].Rights.CopyProtect, forwarded[0].Rights.DigitalOutputDisable}),
            std::vector<ULONG>({rights.CopyProtect, rights.DigitalOutputDisable}));
        EXPECT_EQ(forwarded[0].FileObject, bus->PipeHandle(kPort, 0x01));
        EXPECT_EQ(forwarded[0].Context, bus->PipeHandle(kPort, 0x01));
        EXPECT_EQ(forwarded[0].DeviceObject, layerPointer ? layerPointer->GetLowerDevice() : nullptr);
    }
    std::vector<uint8_t> OutBytes(uint8_t endpoint)
    {
        std::vector<uint8_t> bytes;
        for (const auto &p : Iso().OutPackets(endpoint))
            bytes.insert(bytes.end(), p.bytes.begin(), p.bytes.end());
        return bytes;
    }

    ULONG clockNode = 0; // handed to the creator
    CUsbDeviceLayer *layerPointer = nullptr;
    StreamDevice device_{&layerPointer};
    PURB selection = nullptr;
    CUsbAudioStream *stream = nullptr;

    void SetUp() override
    {
        UsbLayerTest::SetUp();
        layerPointer = nullptr;
    }
    void Attach(std::shared_ptr<usbsim::VirtualDevice> headset)
    {
        UsbLayerTest::Attach(std::move(headset));
        layerPointer = layer.get();
    }
};

using miniport_bench::DataFormat;

// The endpoint's wave miniport over the stream's engine, behind a wave port, and a stream opened on
// it either directly through the miniport or as the audio engine opens a pin, with its client.
class WaveStreamTest : public UsbStreamTest
{
protected:
    void TearDown() override
    {
        pin.reset();
        filter.reset();
        CloseStream();
        bench.Close();
        UsbStreamTest::TearDown();
    }
    // `format` offered on `alternate`, the endpoint named "HPOut00".
    void OpenMiniport(const WAVEFORMATEXTENSIBLE &format, UCHAR alternate = 1)
    {
        ASSERT_EQ(stream->AddStreamFormat(format, alternate), STATUS_SUCCESS);
        ASSERT_EQ(stream->GetEngine()->SetName(u"HPOut00"), STATUS_SUCCESS);
        bench.Open(stream->GetEngine());
        miniport = bench.miniport;
        port = bench.port;
    }
    NTSTATUS OpenPin(const std::vector<UCHAR> &data, BOOLEAN capture = FALSE)
    {
        return miniport->NewStream(&wave, nullptr, NonPagedPool, 0, capture,
                                   reinterpret_cast<PKSDATAFORMAT>(const_cast<UCHAR *>(data.data())), &dma,
                                   &group);
    }
    // Pin 0 opened through the port with `format` (and, when not 0, the client's buffer size).
    NTSTATUS OpenClientPin(const WAVEFORMATEXTENSIBLE &format, ULONG bufferSize = 0)
    {
        filter = std::make_unique<sim::audio::Filter>(port);
        const auto data = DataFormat(format);
        return sim::audio::OpenPin(*filter, 0, data.data(), ULONG(data.size()), &pin, bufferSize);
    }
    void CloseStream()
    {
        for (IUnknown **o : {reinterpret_cast<IUnknown **>(&wave), reinterpret_cast<IUnknown **>(&dma),
                             reinterpret_cast<IUnknown **>(&group)})
            if (*o)
                (*o)->Release(), *o = nullptr;
    }

    miniport_bench::WaveFilter bench;
    CMiniportWaveCyclic *miniport = nullptr;
    PPORT port = nullptr;
    PMINIPORTWAVECYCLICSTREAM wave = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;
    std::unique_ptr<sim::audio::Filter> filter;
    std::unique_ptr<sim::audio::Pin> pin;
};

} // namespace stream_test
