#include "driver/effects/fast_math.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace
{
#include "driver/effects/fast_math_tables.inc"

uint32_t BitsOf(float x)
{
    uint32_t b;
    std::memcpy(&b, &x, 4);
    return b;
}

float FloatOf(uint32_t b)
{
    float x;
    std::memcpy(&x, &b, 4);
    return x;
}
} // namespace

float RoundHalfAway(float x)
{
    return x < 0.0f ? -std::floor(0.5f - x) : std::floor(x + 0.5f);
}

float WrapAzimuth(float azimuth)
{
    // fmod is exact, so a turn is removed without rounding.
    const float a = float(std::fmod(double(azimuth), 360.0));
    return a > 180.0f ? a - 360.0f : (a < -180.0f ? a + 360.0f : a);
}

float FastSqrt(float x)
{
    if (!(x > 0.0f))
        return 0.0f;
    if (std::isinf(x))
        return x;
    float scale = 1.0f;
    if (x < 0x1p-126f)
    {
        // Subnormal: lift by 2^64 and give back 2^-32 on the root.
        x *= 0x1p64f;
        scale = 0x1p-32f;
    }
    const uint32_t bits = BitsOf(x);
    const uint32_t index = (bits >> 18) & 31;
    const float fraction = float(bits & 0x3FFFF) * 0x1p-18f;
    const float low = kSqrtTable[index];
    const float mantissa = low + (kSqrtTable[index + 1] - low) * fraction;
    const int32_t exponent = int32_t((bits >> 23) & 0xFF) - 127;
    // Arithmetic shift: an odd negative exponent floors, and the odd half goes into sqrt(2).
    float root = mantissa * FloatOf(uint32_t((exponent >> 1) + 127) << 23);
    if ((bits & 0x00800000) == 0)
        root *= 1.4142135f;
    return root * scale;
}

float tablePower(float base, float exponent)
{
    if (std::isnan(exponent))
        return 0.0f;
    if (base == 2.0f)
    {
        float n = RoundHalfAway(exponent);
        n = n < -126.0f ? -126.0f : (n > 127.0f ? 127.0f : n);
        return FloatOf(uint32_t(int32_t(n) + 127) << 23);
    }
    if (base != 10.0f)
        return 0.0f;
    const float x = exponent < -45.0f ? -45.0f : (exponent > 38.0f ? 38.0f : exponent);
    const float whole = std::floor(x);
    const float step = RoundHalfAway((x - whole) * 200.0f);
    float result = kPow10Table[int32_t(step)];
    for (int32_t i = int32_t(whole); i > 0; --i)
        result *= 10.0f;
    for (int32_t i = int32_t(whole); i < 0; ++i)
        result /= 10.0f;
    return result;
}
