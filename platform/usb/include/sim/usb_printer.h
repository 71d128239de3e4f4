// Test face: an lsusb -v style dump of descriptor bytes. Decodes the standard descriptors and the
// audio-class 1.0 and 2.0 ones; marks malformed bytes ("bLength 0 at offset 143") and never reads
// past the bytes given. Failing tests print it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace usbsim
{

std::string PrintDescriptors(const uint8_t *bytes, size_t count);
inline std::string PrintDescriptors(const std::vector<uint8_t> &b)
{
    return PrintDescriptors(b.data(), b.size());
}

} // namespace usbsim
