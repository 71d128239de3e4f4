// The device's Enum entries: "FriendlyName" and "Mfg" written from its strings, and the
// "SelectiveSuspendEnabled" value read from "Device Parameters" through every hardware identifier.
#include <gtest/gtest.h>

#include "driver/base/usb_vendor_ids.h"
#include "usb_fixture.h"

namespace
{

std::optional<std::vector<uint8_t>> Stored(const std::string &key, const char *name)
{
    auto v = sim::registry::GetValue(key, name);
    if (!v)
        return std::nullopt;
    EXPECT_EQ(v->type, ULONG(REG_SZ)) << name;
    return v->data;
}

std::vector<uint8_t> Sz(const std::string &text)
{
    return sim::registry::Utf16Bytes(text, true);
}

} // namespace

class UsbNamesTest : public UsbLayerTest
{
protected:
    void StartWith(std::u16string product, std::u16string manufacturer = u"Zelko Audio")
    {
        usbsim::Uac1Options options;
        options.product = std::move(product);
        options.manufacturer = std::move(manufacturer);
        Attach(usbsim::VirtualDevice::Uac1(options));
        StartHardware();
    }
    std::string Key() const { return bus->InstanceKey(kPort); }
    void Forget()
    {
        sim::registry::SetString(Key(), "FriendlyName", "old");
        sim::registry::SetString(Key(), "Mfg", "old");
    }
};

TEST_F(UsbNamesTest, FriendlyNameLosesTrailingBlanksAndLongTextsBecomeEmpty)
{
    StartWith(u"Zelko USB Headset   ");
    layer->WriteDeviceNames();
    EXPECT_EQ(Stored(Key(), "FriendlyName"), Sz("Zelko USB Headset"));
    EXPECT_EQ(Stored(Key(), "Mfg"), Sz("Zelko Audio"));

    const std::string chars49(49, 'x');
    device->SetString(layer->GetIdentity().ProductIndex, std::u16string(49, u'x'));
    layer->WriteDeviceNames();
    EXPECT_EQ(Stored(Key(), "FriendlyName"), Sz(chars49));
    device->SetString(layer->GetIdentity().ProductIndex, std::u16string(50, u'x'));
    layer->WriteDeviceNames();
    EXPECT_EQ(Stored(Key(), "FriendlyName"), Sz(""));
    // 49 characters and trailing blanks: the blanks go first, so it fits.
    device->SetString(layer->GetIdentity().ProductIndex, std::u16string(45, u'y') + u"          ");
    layer->WriteDeviceNames();
    EXPECT_EQ(Stored(Key(), "FriendlyName"), Sz(std::string(45, 'y')));
}

TEST_F(UsbNamesTest, ManufacturerIsPublishedByVendorAndProduct)
{
    StartWith(u"Zelko USB Headset");
    USB_DEVICE_IDENTITY id = layer->GetIdentity();
    struct Case
    {
        USHORT vendor, product;
        bool mfg;
    } cases[] = {{SalvineVendorId, 0x0067, true},  {SalvineVendorId, 0x0068, true},
                 {SalvineVendorId, 0x0161, true},  {SalvineVendorId, 0x0066, false},
                 {SalvineVendorId, 0x0160, false}, {SalvineVendorId, 0x0610, false},
                 {0x1234, 0x0066, true},           {0x0B05, 0x17F3, true}};
    for (const Case &c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product);
        sim::registry::SetString(Key(), "Mfg", "old");
        id.VendorId = c.vendor;
        id.ProductId = c.product;
        UsbWriteDeviceNames(layer.get(), pdo, id);
        EXPECT_EQ(Stored(Key(), "Mfg"), c.mfg ? Sz("Zelko Audio") : Sz("old"));
        EXPECT_EQ(Stored(Key(), "FriendlyName"), Sz("Zelko USB Headset"));
    }
    // No string indexes: nothing is read or written.
    Forget();
    id = {0x1234, 0x0066, 0, 0};
    bus->ClearLog();
    UsbWriteDeviceNames(layer.get(), pdo, id);
    EXPECT_TRUE(Urbs().empty());
    EXPECT_EQ(Stored(Key(), "FriendlyName"), Sz("old"));
    EXPECT_EQ(Stored(Key(), "Mfg"), Sz("old"));
}

TEST_F(UsbNamesTest, MalformedOrMissingStringsAreNotWritten)
{
    StartWith(u"Zelko USB Headset");
    const UCHAR product = layer->GetIdentity().ProductIndex;
    const std::vector<usbsim::Bytes> bad = {
        {0, 3, 'A', 0, 'B', 0}, {1, 3, 'A', 0}, {6, 2, 'A', 0, 'B', 0}, {6}, {}};
    for (const auto &raw : bad)
    {
        SCOPED_TRACE(raw.empty() ? -1 : raw[0]);
        Forget();
        device->SetRawString(product, raw);
        layer->WriteDeviceNames();
        EXPECT_EQ(Stored(Key(), "FriendlyName"), Sz("old"));
        EXPECT_EQ(Stored(Key(), "Mfg"), Sz("Zelko Audio"));
    }
    // bLength 255 over 6 bytes: the two characters that came.
    device->SetRawString(product, {255, 3, 'A', 0, 'B', 0});
    layer->WriteDeviceNames();
    EXPECT_EQ(Stored(Key(), "FriendlyName"), Sz("AB"));
    // A stalled read: not written, and nothing fails.
    Forget();
    usbsim::RequestMatch m;
    m.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    m.wValue = uint16_t(0x0300 | product);
    bus->InjectFault(kPort, m, {usbsim::FaultKind::Stall});
    layer->WriteDeviceNames();
    EXPECT_EQ(Stored(Key(), "FriendlyName"), Sz("old"));
}

TEST_F(UsbNamesTest, SelectiveSuspendValueIsFoundThroughEveryHardwareId)
{
    Attach();
    const auto instance = sim::registry::FindDevice(pdo);
    ASSERT_TRUE(instance && instance->hardwareIds.size() == 2);
    const std::string id1 = instance->hardwareIds[0], id2 = instance->hardwareIds[1];
    const std::string name = instance->instanceName;
    const std::string oldEnum = "\\Registry\\Machine\\Enum\\";
    auto read = [&]
    {
        ULONG v = 0;
        UsbReadSelectiveSuspend(pdo, &v);
        return v;
    };
    EXPECT_EQ(read(), 0u); // nowhere: the caller's 0

    // The first identifier carries a list tail after ",": cut there, it still names the key.
    sim::registry::SetMultiString(instance->instanceKey, "HardwareID", {id1 + ",USB\\Class_01", id2});
    SetSelectiveSuspend(1);
    EXPECT_EQ(read(), 1u);

    // The second identifier has no key in the current tree, only in the old one: the last read wins.
    sim::registry::SetDword(oldEnum + id2 + "\\" + name + "\\Device Parameters", "SelectiveSuspendEnabled",
                            7);
    EXPECT_EQ(read(), 7u);
    // An 8-byte value does not fit the 4 bytes: skipped, the earlier read stands.
    sim::registry::SetValue(oldEnum + id2 + "\\" + name + "\\Device Parameters", "SelectiveSuspendEnabled",
                            REG_BINARY, {0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(read(), 1u);

    // An identifier too long for a path is skipped; the next one is still tried.
    const std::string longId(300, 'Q');
    sim::registry::SetMultiString(instance->instanceKey, "HardwareID", {longId, id1});
    EXPECT_EQ(read(), 1u);
}
