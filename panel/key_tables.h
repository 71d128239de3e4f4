// Key numbering of the devices: the HID keyboard usage (page 07h), plus 240..244 for the mouse buttons.
// Three process-wide tables, built once and never changed:
//   keyNameToCode  display name (as the QML pages show it) -> key code, 132 rows;
//   scanCodeToVk   set-1 scan code * 256 + LLKHF_EXTENDED bit -> Windows virtual key, 105 rows (US);
//   vkToHidUsage   Windows virtual key -> key code, 121 rows.
// The last two are flat arrays: a look-up is one index, safe on the input hooks' path.
#pragma once

#include <QMap>
#include <QString>

#include <cstdint>
#include <span>

namespace keys
{
struct ScanRow
{
    uint16_t key; // scan code * 256 + extended flag
    uint8_t vk;
};
struct VkRow
{
    uint8_t vk;
    uint8_t code;
};

const QMap<QString, uint8_t> &keyNameToCode();
std::span<const ScanRow> scanCodeRows();
std::span<const VkRow> vkRows();

// 0 when the table has no row.
uint8_t scanCodeToVk(uint16_t key);
uint8_t vkToHidUsage(uint8_t vk);
} // namespace keys
