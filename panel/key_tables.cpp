#include "key_tables.h"

#include <QCoreApplication>

#include <array>

namespace keys
{
namespace
{
constexpr uint16_t plain(uint8_t scan)
{
    return uint16_t(scan << 8);
}
constexpr uint16_t ext(uint8_t scan)
{
    return uint16_t(scan << 8 | 1);
}

// US layout, set-1 scan codes, as the low-level keyboard hook reports them. Keypad keys give their
// Num Lock-on keys. Not in the table: the right Windows key (5Ch extended) and Pause's extended
// 46h (the keyboard procedure maps that one itself).
constexpr ScanRow kScanRows[] = {
    {plain(0x01), 27},  {plain(0x02), '1'}, {plain(0x03), '2'}, {plain(0x04), '3'}, {plain(0x05), '4'},
    {plain(0x06), '5'}, {plain(0x07), '6'}, {plain(0x08), '7'}, {plain(0x09), '8'}, {plain(0x0A), '9'},
    {plain(0x0B), '0'}, {plain(0x0C), 189}, {plain(0x0D), 187}, {plain(0x0E), 8},   {plain(0x0F), 9},
    {plain(0x10), 'Q'}, {plain(0x11), 'W'}, {plain(0x12), 'E'}, {plain(0x13), 'R'}, {plain(0x14), 'T'},
    {plain(0x15), 'Y'}, {plain(0x16), 'U'}, {plain(0x17), 'I'}, {plain(0x18), 'O'}, {plain(0x19), 'P'},
    {plain(0x1A), 219}, {plain(0x1B), 221}, {plain(0x1C), 13},  {plain(0x1D), 162}, {plain(0x1E), 'A'},
    {plain(0x1F), 'S'}, {plain(0x20), 'D'}, {plain(0x21), 'F'}, {plain(0x22), 'G'}, {plain(0x23), 'H'},
    {plain(0x24), 'J'}, {plain(0x25), 'K'}, {plain(0x26), 'L'}, {plain(0x27), 186}, {plain(0x28), 222},
    {plain(0x29), 192}, {plain(0x2A), 160}, {plain(0x2B), 220}, {plain(0x2C), 'Z'}, {plain(0x2D), 'X'},
    {plain(0x2E), 'C'}, {plain(0x2F), 'V'}, {plain(0x30), 'B'}, {plain(0x31), 'N'}, {plain(0x32), 'M'},
    {plain(0x33), 188}, {plain(0x34), 190}, {plain(0x35), 191}, {plain(0x37), 106}, {plain(0x38), 164},
    {plain(0x39), 32},  {plain(0x3A), 20},  {plain(0x3B), 112}, {plain(0x3C), 113}, {plain(0x3D), 114},
    {plain(0x3E), 115}, {plain(0x3F), 116}, {plain(0x40), 117}, {plain(0x41), 118}, {plain(0x42), 119},
    {plain(0x43), 120}, {plain(0x44), 121}, {plain(0x45), 19},  {plain(0x46), 145}, {plain(0x47), 103},
    {plain(0x48), 104}, {plain(0x49), 105}, {plain(0x4A), 109}, {plain(0x4B), 100}, {plain(0x4C), 101},
    {plain(0x4D), 102}, {plain(0x4E), 107}, {plain(0x4F), 97},  {plain(0x50), 98},  {plain(0x51), 99},
    {plain(0x52), 96},  {plain(0x53), 110}, {plain(0x56), 226}, {plain(0x57), 122}, {plain(0x58), 123},
    {plain(0x6E), 134}, {ext(0x1C), 14},    {ext(0x1D), 163},   {ext(0x35), 111},   {ext(0x36), 161},
    {ext(0x37), 44},    {ext(0x38), 165},   {ext(0x45), 144},   {ext(0x47), 36},    {ext(0x48), 38},
    {ext(0x49), 33},    {ext(0x4B), 37},    {ext(0x4D), 39},    {ext(0x4F), 35},    {ext(0x50), 40},
    {ext(0x51), 34},    {ext(0x52), 45},    {ext(0x53), 46},    {ext(0x5B), 91},    {ext(0x5D), 93},
};
static_assert(std::size(kScanRows) == 105);

// 14 is the keypad Enter's private virtual key (the scan table gives it), apart from Enter's 13.
constexpr VkRow kVkRows[] = {
    {'A', 4},   {'B', 5},   {'C', 6},   {'D', 7},   {'E', 8},   {'F', 9},   {'G', 10},  {'H', 11},
    {'I', 12},  {'J', 13},  {'K', 14},  {'L', 15},  {'M', 16},  {'N', 17},  {'O', 18},  {'P', 19},
    {'Q', 20},  {'R', 21},  {'S', 22},  {'T', 23},  {'U', 24},  {'V', 25},  {'W', 26},  {'X', 27},
    {'Y', 28},  {'Z', 29},  {'1', 30},  {'2', 31},  {'3', 32},  {'4', 33},  {'5', 34},  {'6', 35},
    {'7', 36},  {'8', 37},  {'9', 38},  {'0', 39},  {13, 40},   {14, 88},   {27, 41},   {8, 42},
    {9, 43},    {32, 44},   {189, 45},  {187, 46},  {219, 47},  {221, 48},  {220, 49},  {186, 51},
    {222, 52},  {192, 53},  {188, 54},  {190, 55},  {191, 56},  {20, 57},   {112, 58},  {113, 59},
    {114, 60},  {115, 61},  {116, 62},  {117, 63},  {118, 64},  {119, 65},  {120, 66},  {121, 67},
    {122, 68},  {123, 69},  {44, 70},   {145, 71},  {19, 72},   {45, 73},   {36, 74},   {33, 75},
    {46, 76},   {35, 77},   {34, 78},   {39, 79},   {37, 80},   {40, 81},   {38, 82},   {144, 83},
    {111, 84},  {106, 85},  {109, 86},  {107, 87},  {97, 89},   {98, 90},   {99, 91},   {100, 92},
    {101, 93},  {102, 94},  {103, 95},  {104, 96},  {105, 97},  {96, 98},   {110, 99},  {226, 100},
    {93, 101},  {255, 102}, {124, 104}, {125, 105}, {126, 106}, {127, 107}, {128, 108}, {129, 109},
    {130, 110}, {131, 111}, {132, 112}, {133, 113}, {134, 114}, {135, 115}, {194, 133}, {193, 135},
    {235, 139}, {162, 224}, {160, 225}, {164, 226}, {91, 227},  {163, 228}, {161, 229}, {165, 230},
    {92, 231},
};
static_assert(std::size(kVkRows) == 121);

struct Flat
{
    std::array<uint8_t, 256 * 2> scan{}; // index: scan * 2 + extended
    std::array<uint8_t, 256> vk{};
};

constexpr Flat buildFlat()
{
    Flat f;
    for (const ScanRow &r : kScanRows)
        f.scan[(r.key >> 8) * 2 + (r.key & 1)] = r.vk;
    for (const VkRow &r : kVkRows)
        f.vk[r.vk] = r.code;
    return f;
}
constexpr Flat kFlat = buildFlat();

QMap<QString, uint8_t> buildNames()
{
    QMap<QString, uint8_t> m;
    auto add = [&m](const QString &name, int code) { m.insert(name, uint8_t(code)); };
    for (int i = 0; i < 26; ++i)
        add(QString(QChar('A' + i)), 4 + i);
    for (int i = 0; i < 9; ++i)
        add(QString(QChar('1' + i)), 30 + i);
    add("0", 39);
    const char *const block40[] = {"Enter", "Esc", "Back", "Tab", "Space",
                                   "- _",   "= +", "[ {",  "] }", "\\ |"};
    for (int i = 0; i < 10; ++i)
        add(block40[i], 40 + i);
    const char *const block51[] = {"; :", "' \"", "` ~", ", <", ". >", "/ ?", "Caps"};
    for (int i = 0; i < 7; ++i)
        add(block51[i], 51 + i);
    for (int i = 0; i < 12; ++i)
        add(QString("F%1").arg(i + 1), 58 + i);
    const char *const block70[] = {"Prt", "Scr", "Pau", "Ins", "Hom", "PgU", "Del", "End", "PgD"};
    for (int i = 0; i < 9; ++i)
        add(block70[i], 70 + i);
    const char *const arrows[] = {"►", "◄", "▼", "▲"};
    for (int i = 0; i < 4; ++i)
        add(QCoreApplication::translate("keys", arrows[i]), 79 + i);
    add("Num", 83);
    const char *const keypad[] = {"KP /", "KP *", "KP -", "KP +", "KP Enter"};
    for (int i = 0; i < 5; ++i)
        add(keypad[i], 84 + i);
    for (int i = 0; i < 9; ++i)
        add(QString("KP %1").arg(i + 1), 89 + i);
    add("KP 0", 98);
    add("KP .", 99);
    const char *const block100[] = {"Eur 2", "App", "Power", "KP ="};
    for (int i = 0; i < 4; ++i)
        add(block100[i], 100 + i);
    for (int i = 0; i < 12; ++i)
        add(QString("F%1").arg(13 + i), 104 + i);
    add("Keypad", 133);
    // "Intl'2" and "Int'l 2" are two keys, spelled as the pages spell them.
    const char *const intl[] = {"Int'l 1", "Intl'2", "Int'l 2", "Int'l 4", "Int'l 5"};
    for (int i = 0; i < 5; ++i)
        add(intl[i], 135 + i);
    add("Lang 1", 144);
    add("Lang 2", 145);
    const char *const block224[] = {"L Ctrl", "L Shift", "L Alt", "L Win",
                                    "R Ctrl", "R Shift", "R Alt", "R Win"};
    for (int i = 0; i < 8; ++i)
        add(block224[i], 224 + i);
    const char *const mouse[] = {"MS-L", "MS-R", "MS-M", "MS-B4", "MS-B5"};
    for (int i = 0; i < 5; ++i)
        add(mouse[i], 240 + i);
    return m;
}
} // namespace

const QMap<QString, uint8_t> &keyNameToCode()
{
    static const QMap<QString, uint8_t> names = buildNames();
    return names;
}

std::span<const ScanRow> scanCodeRows()
{
    return kScanRows;
}

std::span<const VkRow> vkRows()
{
    return kVkRows;
}

uint8_t scanCodeToVk(uint16_t key)
{
    return (key & 0xFE) != 0 ? 0 : kFlat.scan[(key >> 8) * 2 + (key & 1)];
}

uint8_t vkToHidUsage(uint8_t vk)
{
    return kFlat.vk[vk];
}
} // namespace keys
