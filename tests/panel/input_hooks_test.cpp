#include "support/qt_log.h"

#include "panel/input_hooks.h"
#include "panel/key_tables.h"

#include <sim/user32_sim.h>

#include <QSet>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <new>

// Counts heap allocations, so a test can show the input path makes none.
namespace
{
std::atomic<long> g_allocations{0};
}
void *operator new(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{
TEST(KeyTables, NamesAndRowsAsTheDevicesNumberKeys)
{
    const auto &names = keys::keyNameToCode();
    EXPECT_EQ(names.size(), 132);
    EXPECT_EQ(names.value("MS-B5"), 244);
    EXPECT_EQ(names.value("Intl'2"), 136);
    EXPECT_EQ(names.value("Int'l 2"), 137);
    EXPECT_EQ(names.value(QString::fromUtf8("\xE2\x96\xBA")), 79); // ►
    EXPECT_EQ(names.value(QString::fromUtf8("\xE2\x96\xB2")), 82); // ▲
    EXPECT_EQ(names.value("\\ |"), 49);
    EXPECT_EQ(names.value("' \""), 52);
    EXPECT_EQ(names.value("KP 0"), 98);

    QSet<int> codes;
    for (uint8_t code : names)
        codes.insert(code);
    EXPECT_EQ(codes.size(), 132) << "every name has a code of its own";
    EXPECT_EQ(keys::vkRows().size(), 121u);
    for (const auto &row : keys::vkRows())
        EXPECT_TRUE(codes.contains(row.code)) << int(row.vk) << " -> " << int(row.code);

    EXPECT_EQ(keys::scanCodeRows().size(), 105u);
    const std::pair<uint16_t, int> special[] = {
        {0x4500, 19},  {0x4501, 144}, {0x3701, 44},  {0x1C01, 14},  {0x1C00, 13},  {0x5600, 226},
        {0x6E00, 134}, {0x2900, 192}, {0x2A00, 160}, {0x3601, 161}, {0x1D00, 162}, {0x1D01, 163},
        {0x3800, 164}, {0x3801, 165}, {0x5B01, 91},  {0x5D01, 93},  {0x5C01, 0},   {0x1E00, 'A'},
    };
    for (const auto &[key, vk] : special)
        EXPECT_EQ(keys::scanCodeToVk(key), vk) << std::hex << key;
    for (const auto &row : keys::scanCodeRows())
        EXPECT_NE(row.key, 0x5C01);
}

std::vector<std::pair<int, int>> g_keys;
std::vector<std::array<int, 4>> g_clicks;
void *g_context = nullptr;

void onKey(int code, int state, void *context)
{
    g_context = context;
    g_keys.push_back({code, state});
}
void onClick(int code, int state, int x, int y, void *context)
{
    g_context = context;
    g_clicks.push_back({code, state, x, y});
}

class InputHooksTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sim::user32::resetAll();
        g_keys.clear();
        g_clicks.clear();
        g_keys.reserve(64);
        g_clicks.reserve(64);
    }
    void TearDown() override { sim::user32::resetAll(); }
    int context = 0;
};

TEST_F(InputHooksTest, KeyEventsReportOncePerChangeInKeyCodes)
{
    InputHooks hooks(0);
    ASSERT_NE(hooks.keyboardHook(), nullptr);
    hooks.setKeyboardCallback(onKey, &context);
    using sim::user32::injectKey;
    for (int i = 0; i < 5; ++i)
        injectKey(WM_KEYDOWN, 0x1E, 0); // auto-repeat of A
    injectKey(WM_KEYUP, 0x1E, LLKHF_UP);
    injectKey(WM_KEYDOWN, 0x1C, LLKHF_EXTENDED);   // keypad Enter
    injectKey(WM_KEYDOWN, 0x1C, 0);                // Enter
    injectKey(WM_SYSKEYDOWN, 0x54, LLKHF_ALTDOWN); // Alt + Print Screen
    injectKey(WM_KEYUP, 0x54, LLKHF_ALTDOWN | LLKHF_UP);
    injectKey(WM_KEYDOWN, 0x37, LLKHF_EXTENDED); // Print Screen
    injectKey(WM_KEYDOWN, 0x46, LLKHF_EXTENDED); // Ctrl + Pause
    injectKey(WM_KEYDOWN, 0x11E, 0);             // scan code above 255: taken as 0, no row
    injectKey(WM_KEYDOWN, 0x5C, LLKHF_EXTENDED); // right Windows key: no row
    const std::vector<std::pair<int, int>> expected = {{4, 1},  {4, 0},  {88, 1}, {40, 1},
                                                       {70, 1}, {70, 0}, {70, 1}, {72, 1}};
    EXPECT_EQ(g_keys, expected);
    EXPECT_EQ(g_context, &context);
    EXPECT_EQ(sim::user32::callNextHookCount(), 14u) << "every event is passed on";
}

TEST_F(InputHooksTest, ButtonsAreReportedAndDoubleClicksPassedOn)
{
    InputHooks hooks(0);
    hooks.setMouseCallback(onClick, &context);
    using sim::user32::injectMouse;
    injectMouse(WM_LBUTTONDOWN, 10, 20);
    injectMouse(WM_LBUTTONUP, 10, 20);
    injectMouse(WM_LBUTTONDBLCLK, 11, 21);
    injectMouse(WM_LBUTTONUP, 11, 21);
    injectMouse(WM_RBUTTONDOWN, -5, 7);
    injectMouse(WM_MBUTTONUP, 0, 0);
    injectMouse(WM_MOUSEMOVE, 1, 1);
    injectMouse(WM_MOUSEWHEEL, 1, 1);
    injectMouse(WM_XBUTTONDOWN, 1, 1);
    const std::vector<std::array<int, 4>> expected = {
        {240, 1, 10, 20}, {240, 0, 10, 20}, {240, 0, 11, 21}, {241, 1, -5, 7}, {242, 0, 0, 0}};
    EXPECT_EQ(g_clicks, expected);
    EXPECT_EQ(sim::user32::callNextHookCount(), 9u);
}

TEST_F(InputHooksTest, FailedInstallLeavesNoHook)
{
    sim::user32::failHookInstall(WH_MOUSE_LL, true);
    InputHooks hooks(0);
    EXPECT_EQ(hooks.installHooks(), 0);
    EXPECT_EQ(hooks.keyboardHook(), nullptr);
    EXPECT_EQ(hooks.mouseHook(), nullptr);
    EXPECT_EQ(sim::user32::installedHook(WH_KEYBOARD_LL), nullptr) << "the keyboard hook is taken out again";
    sim::user32::failHookInstall(WH_MOUSE_LL, false);
    EXPECT_EQ(hooks.installHooks(), 1);
    hooks.removeHooks();
    EXPECT_EQ(sim::user32::installedHook(WH_MOUSE_LL), nullptr);
}

void quietKey(int, int, void *) {}
void quietClick(int, int, int, int, void *) {}

TEST_F(InputHooksTest, InjectedEventsAllocateNothing)
{
    InputHooks hooks(0);
    hooks.setKeyboardCallback(quietKey, nullptr);
    hooks.setMouseCallback(quietClick, nullptr);
    const long before = g_allocations.load();
    for (int i = 0; i < 100; ++i)
    {
        sim::user32::injectKey(i % 2 ? WM_KEYUP : WM_KEYDOWN, DWORD(i), i % 3 ? 0 : LLKHF_EXTENDED);
        sim::user32::injectMouse(WM_LBUTTONDOWN + UINT(i % 9), i, i);
    }
    EXPECT_EQ(g_allocations.load(), before);
}

std::vector<QString> g_texts;
void onCopyData(const COPYDATASTRUCT *data, void *)
{
    if (auto text = copyDataText(*data))
        g_texts.push_back(*text);
}

TEST_F(InputHooksTest, CopyDataTextIsReadWithinItsCountOnly)
{
    InputHooks hooks(0);
    HWND panel =
        sim::user32::createWindow(u"devpanel", [](HWND, UINT, WPARAM, LPARAM) { return LRESULT(0); });
    HWND other = sim::user32::createWindow(u"other", [](HWND, UINT, WPARAM, LPARAM) { return LRESULT(3); });
    g_texts.clear();
    // Heap copies without a terminator, so reading past cbData shows under ASan.
    auto send = [&](ULONG_PTR tag, const std::string &bytes, DWORD count)
    {
        std::unique_ptr<char[]> buffer(bytes.empty() ? nullptr : new char[bytes.size()]);
        if (buffer)
            std::memcpy(buffer.get(), bytes.data(), bytes.size());
        COPYDATASTRUCT cds{tag, count, buffer.get()};
        return SendMessageW(other, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds));
    };
    const std::string text = "Firmware update \xE2\x9C\x93";
    EXPECT_EQ(send(9487, text, DWORD(text.size())), 3) << "no callback: not handled";
    hooks.setCopyDataFilter(onCopyData, QCoreApplication::instance(), nullptr);
    EXPECT_EQ(send(9487, text, DWORD(text.size())), 1);
    ASSERT_EQ(g_texts.size(), 1u);
    EXPECT_EQ(g_texts[0], QString::fromUtf8(text.c_str()));

    EXPECT_EQ(send(9488, text, DWORD(text.size())), 1);
    EXPECT_EQ(send(9487, text, DWORD(text.size() - 1)), 1);        // cuts the last character
    EXPECT_EQ(send(9487, text + '\0', DWORD(text.size() + 1)), 1); // counts the terminator
    EXPECT_EQ(send(9487, std::string("ab\0cd", 5), 5), 1);
    EXPECT_EQ(send(9487, "\xC0\xAF", 2), 1);     // overlong
    EXPECT_EQ(send(9487, "\xED\xA0\x80", 3), 1); // surrogate
    EXPECT_EQ(send(9487, "", 5), 1);             // null lpData
    EXPECT_EQ(send(9487, text, 0), 1);
    EXPECT_EQ(send(9487, std::string(65537, 'a'), 65537), 1);
    EXPECT_EQ(g_texts.size(), 1u);

    COPYDATASTRUCT cds{9487, 1, const_cast<char *>("x")};
    EXPECT_EQ(InputHooks::sendCopyData("devpanel", &cds, panel), reinterpret_cast<LRESULT>(panel));
    EXPECT_EQ(g_texts.size(), 1u) << "nothing is sent to the own window";
    EXPECT_EQ(InputHooks::sendCopyData("other", &cds, panel), 1);
    EXPECT_EQ(InputHooks::sendCopyData("nobody", &cds, panel), 0);
    EXPECT_EQ(g_texts.size(), 2u);
}
} // namespace
