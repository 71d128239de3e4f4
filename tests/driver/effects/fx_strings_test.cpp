// Byte compare and bounded ANSI string helpers: odd addresses, every short length, truncation
// and the refusals that must write nothing.
#include "driver/effects/fx_strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

TEST(FxStrings, CompareBytesAtOddAddressesAndEveryShortLength)
{
    std::vector<unsigned char> a(32), b(32);
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = b[i] = (unsigned char)(0x41 + i);
    for (size_t offA : {0, 1, 3})
        for (size_t offB : {0, 1, 2})
        {
            std::vector<unsigned char> x(a), y(b);
            std::memmove(x.data() + offA, a.data(), 16);
            std::memmove(y.data() + offB, b.data(), 16);
            for (size_t len = 0; len <= 9; ++len)
            {
                EXPECT_EQ(CompareBytes(x.data() + offA, y.data() + offB, len), 0);
                for (size_t at = 0; at < len; ++at) // a difference in any byte, word or tail
                {
                    std::vector<unsigned char> z(y);
                    z[offB + at] ^= 0x80;
                    EXPECT_NE(CompareBytes(x.data() + offA, z.data() + offB, len), 0) << len << " " << at;
                }
            }
        }
}

TEST(FxStrings, CopyCutsToCapacityAndRefusesWithoutWriting)
{
    char dst[8];
    std::memset(dst, '#', sizeof dst);
    EXPECT_EQ(CopyStringBounded(dst, 8, "SALVIN"), STATUS_SUCCESS);
    EXPECT_STREQ(dst, "SALVIN");
    EXPECT_EQ(CopyStringBounded(dst, 4, "SALVIN"), STATUS_SUCCESS);
    EXPECT_STREQ(dst, "SAL");
    EXPECT_EQ(dst[4], 'I'); // nothing past the capacity
    EXPECT_EQ(CopyStringBounded(dst, 1, "SALVIN"), STATUS_SUCCESS);
    EXPECT_EQ(dst[0], '\0');
    std::memset(dst, '#', sizeof dst);
    EXPECT_EQ(CopyStringBounded(dst, 0, "X"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CopyStringBounded(dst, -1, "X"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CopyStringBounded(nullptr, 4, "X"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(std::string(dst, 8), std::string(8, '#'));
}

TEST(FxStrings, AppendFitsCapacityAndLeavesAnUnterminatedDestination)
{
    char dst[10] = "[SAL";
    AppendStringBounded(dst, 10, "VIN]");
    EXPECT_STREQ(dst, "[SALVIN]");
    AppendStringBounded(dst, 10, "XYZ");
    EXPECT_STREQ(dst, "[SALVIN]X"); // cut to capacity - 1
    char raw[6];
    std::memset(raw, 'a', sizeof raw);
    AppendStringBounded(raw, 6, "b");
    EXPECT_EQ(std::string(raw, 6), "aaaaaa");
    char small[4] = "ab";
    AppendStringBounded(small, 0, "c");
    AppendStringBounded(small, -3, "c");
    EXPECT_STREQ(small, "ab");
}

} // namespace
