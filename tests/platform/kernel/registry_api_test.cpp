// The Zw key functions over the registry stand-in.
#include <ntkernel.h>
#include <sim/registry_sim.h>

#include "support/kernel_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr char kSoftware[] = "\\Registry\\Machine\\SOFTWARE\\Zelko";

// A counted copy of an ASCII name.
class Name
{
public:
    explicit Name(std::string_view s) : m_Text(s.begin(), s.end())
    {
        m_String = {USHORT(m_Text.size() * 2), USHORT(m_Text.size() * 2), m_Text.data()};
    }
    PUNICODE_STRING operator&() { return &m_String; }

private:
    std::u16string m_Text;
    UNICODE_STRING m_String;
};

class RegistryApiTest : public KernelTest
{
protected:
    NTSTATUS Open(std::string_view path, HANDLE *key, ACCESS_MASK access = KEY_ALL_ACCESS,
                  HANDLE root = nullptr)
    {
        Name name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                                   nullptr);
        return ZwOpenKey(key, access, &attributes);
    }

    NTSTATUS Create(std::string_view path, HANDLE *key, ULONG *disposition,
                    ACCESS_MASK access = KEY_ALL_ACCESS, HANDLE root = nullptr)
    {
        Name name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                                   nullptr);
        return ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
    }
};

TEST_F(RegistryApiTest, OpenAndCreateFollowPathsWithoutCase)
{
    sim::registry::CreateKey(kSoftware);
    HANDLE key = nullptr;
    ASSERT_EQ(Open("\\REGISTRY\\machine\\software\\ZELKO", &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    EXPECT_EQ(Open("\\Registry\\Machine\\SOFTWARE\\Missing", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    // Only the last component is created; a missing parent fails and creates nothing.
    ULONG disposition = 0;
    EXPECT_EQ(Create("\\Registry\\Machine\\SOFTWARE\\Zelko\\A\\B", &key, &disposition),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::registry::KeyExists("\\Registry\\Machine\\SOFTWARE\\Zelko\\A"));

    ASSERT_EQ(Create("\\Registry\\Machine\\SOFTWARE\\Zelko\\Settings", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    ZwClose(key);
    ASSERT_EQ(Create("\\Registry\\Machine\\SOFTWARE\\zelko\\SETTINGS", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    ZwClose(key);
    // The name keeps the case it was created with.
    EXPECT_EQ(sim::registry::SubkeyNames(kSoftware), std::vector<std::string>{"Settings"});

    // Relative to an open key.
    HANDLE parent = nullptr;
    ASSERT_EQ(Open(kSoftware, &parent), STATUS_SUCCESS);
    ASSERT_EQ(Create("EQ", &key, &disposition, KEY_ALL_ACCESS, parent), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(sim::registry::KeyExists("\\Registry\\Machine\\SOFTWARE\\Zelko\\EQ"));
    ZwClose(key);
    ASSERT_EQ(Open("settings", &key, KEY_READ, parent), STATUS_SUCCESS);
    ZwClose(key);
    // A key opened without the right to create sub-keys may open but not create below it.
    HANDLE readOnly = nullptr;
    ASSERT_EQ(Open(kSoftware, &readOnly, KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(Create("New", &key, &disposition, KEY_ALL_ACCESS, readOnly), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Create("EQ", &key, &disposition, KEY_ALL_ACCESS, readOnly), STATUS_SUCCESS);
    ZwClose(key);
    ZwClose(readOnly);
    ZwClose(parent);

    // Malformed names.
    EXPECT_EQ(Open("Registry\\Machine", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open("\\Registry\\Machine\\\\SOFTWARE", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open("\\Other\\Machine", &key), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(RegistryApiTest, QueryValueFollowsTheSizeProtocol)
{
    const std::vector<uint8_t> bytes = {0x80, 0xBB, 0x00, 0x00, 0x11};
    sim::registry::SetValue(kSoftware, "Rate", REG_BINARY, bytes);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kSoftware, &key), STATUS_SUCCESS);
    Name rate("RATE");
    ULONG result = 0;

    // Too small for the 12-byte header: nothing written.
    std::vector<uint8_t> buffer(64, 0xEE);
    EXPECT_EQ(ZwQueryValueKey(key, &rate, KeyValuePartialInformation, buffer.data(), 11, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 17u);
    EXPECT_EQ(buffer[0], 0xEE);

    // Header fits, data does not: header filled, data untouched.
    EXPECT_EQ(ZwQueryValueKey(key, &rate, KeyValuePartialInformation, buffer.data(), 16, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 17u);
    ULONG header[3];
    std::memcpy(header, buffer.data(), 12);
    EXPECT_EQ(header[0], 0u);
    EXPECT_EQ(header[1], ULONG(REG_BINARY));
    EXPECT_EQ(header[2], 5u);
    EXPECT_EQ(buffer[12], 0xEE);

    // Exactly enough: the stored bytes follow the header.
    EXPECT_EQ(ZwQueryValueKey(key, &rate, KeyValuePartialInformation, buffer.data(), 17, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 17u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 12, buffer.begin() + 17), bytes);
    EXPECT_EQ(buffer[17], 0xEE);

    Name missing("Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer.data(), 64, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwQueryValueKey(key, &rate, KeyValueFullInformation, buffer.data(), 64, &result),
              STATUS_INVALID_PARAMETER);
    ZwClose(key);

    // A key opened without query rights cannot be read.
    ASSERT_EQ(Open(kSoftware, &key, KEY_SET_VALUE), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryValueKey(key, &rate, KeyValuePartialInformation, buffer.data(), 64, &result),
              STATUS_ACCESS_DENIED);
    ZwClose(key);
}

TEST_F(RegistryApiTest, SetValueStoresTypeAndExactBytes)
{
    sim::registry::CreateKey(kSoftware);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kSoftware, &key), STATUS_SUCCESS);
    Name name("FriendlyName");
    const uint8_t text[] = {'H', 0, 'S', 0, 0, 0};
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<uint8_t *>(text), sizeof(text)),
              STATUS_SUCCESS);
    auto value = sim::registry::GetValue(kSoftware, "friendlyname");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, ULONG(REG_SZ));
    EXPECT_EQ(value->data, sim::registry::Utf16Bytes("HS", true));

    // Overwriting changes type and length; an empty value is allowed.
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, nullptr, 0), STATUS_SUCCESS);
    value = sim::registry::GetValue(kSoftware, "FriendlyName");
    EXPECT_EQ(value->type, ULONG(REG_BINARY));
    EXPECT_TRUE(value->data.empty());
    EXPECT_EQ(sim::registry::ValueNames(kSoftware), std::vector<std::string>{"FriendlyName"});
    ZwClose(key);

    ASSERT_EQ(Open(kSoftware, &key, KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<uint8_t *>(text), sizeof(text)),
              STATUS_ACCESS_DENIED);
    ZwClose(key);
}

// However many values a key holds, setting or finding one compares about one name: a key of many
// values is no slower per value than a key of few. Names keep their case as first set, writes replace,
// and values enumerate in the order first set.
TEST_F(RegistryApiTest, ValueLookupComparesAboutOneNameWhateverTheKeyHolds)
{
    sim::registry::CreateKey(kSoftware);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kSoftware, &key), STATUS_SUCCESS);
    constexpr unsigned kValues = 20000;
    auto name = [](unsigned i, bool upper) { return (upper ? "VALUE" : "Value") + std::to_string(i); };
    const uint64_t before = sim::registry::NameComparisons();
    for (bool upper : {false, true}) // the second round replaces every value through another case
        for (unsigned i = 0; i < kValues; ++i)
        {
            Name n(name(i, upper));
            ULONG data = i + upper;
            ASSERT_EQ(ZwSetValueKey(key, &n, 0, REG_DWORD, &data, sizeof data), STATUS_SUCCESS);
        }
    for (unsigned i = 0; i < kValues; ++i)
    {
        Name n("value" + std::to_string(i));
        UCHAR buffer[KEY_VALUE_PARTIAL_INFORMATION_HEADER + 4];
        ULONG length = 0;
        ASSERT_EQ(ZwQueryValueKey(key, &n, KeyValuePartialInformation, buffer, sizeof buffer, &length),
                  STATUS_SUCCESS);
        ULONG data = 0;
        std::memcpy(&data, buffer + KEY_VALUE_PARTIAL_INFORMATION_HEADER, sizeof data);
        ASSERT_EQ(data, i + 1);
    }
    // Walking the key's values would compare about 3 * kValues * kValues / 2 names.
    EXPECT_LE(sim::registry::NameComparisons() - before, 4u * kValues);
    ZwClose(key);

    const auto names = sim::registry::ValueNames(kSoftware);
    ASSERT_EQ(names.size(), size_t(kValues));
    for (unsigned i = 0; i < kValues; i += 997)
        EXPECT_EQ(names[i], name(i, false));
}

TEST_F(RegistryApiTest, QueryKeyGivesTheUnterminatedLastComponent)
{
    const std::string path = std::string(sim::registry::kEnumRoot) + "\\USB\\VID_5A4C&PID_0610\\7&1C2D&0&2";
    sim::registry::CreateKey(path);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(path, &key), STATUS_SUCCESS);
    const std::u16string expected = u"7&1C2D&0&2";
    const ULONG nameBytes = ULONG(expected.size() * 2);
    std::vector<uint8_t> buffer(64, 0xEE);
    ULONG result = 0;

    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer.data(), 15, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 16 + nameBytes);
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer.data(), 16, &result), STATUS_BUFFER_OVERFLOW);
    ULONG nameLength;
    std::memcpy(&nameLength, buffer.data() + 12, 4);
    EXPECT_EQ(nameLength, nameBytes);

    ASSERT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer.data(), 16 + nameBytes, &result), STATUS_SUCCESS);
    std::u16string name(expected.size(), u'\0');
    std::memcpy(name.data(), buffer.data() + 16, nameBytes);
    EXPECT_EQ(name, expected);
    EXPECT_EQ(buffer[16 + nameBytes], 0xEE); // no terminator
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer.data(), 64, &result), STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST_F(RegistryApiTest, HandlesCloseOnceAndALeftOpenKeyIsReported)
{
    sim::registry::CreateKey(kSoftware);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kSoftware, &key), STATUS_SUCCESS);
    EXPECT_EQ(sim::registry::OpenKeyHandles(), 1u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(sim::registry::OpenKeyHandles(), 0u);
    Name name("X");
    ULONG result = 0;
    UCHAR buffer[32];
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_INVALID_HANDLE);
    EXPECT_NE(ZwClose(key), STATUS_SUCCESS);

    ASSERT_EQ(Open(kSoftware, &key), STATUS_SUCCESS);
    const std::string report = EndOfTestReport();
    EXPECT_NE(report.find("\\Registry\\Machine\\SOFTWARE\\Zelko"), std::string::npos) << report;
    ZwClose(key);
    EXPECT_EQ(EndOfTestReport(), "");
}

} // namespace
