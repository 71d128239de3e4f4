// Random INI text and random bytes as each kind of panel data file, and random copy-data records:
// every reader returns, within the bounds on counts, and nothing crashes (ASan in CI).
#include "support/panel_files_input.h"
#include "support/test_dir.h"

#include <random>

namespace
{
std::vector<uint8_t> randomIni(std::mt19937 &rng)
{
    static const char *const pieces[] = {"[macro]\n",   "[config]\n", "[gunData]\n", "[menu]\n",
                                         "[profile]\n", "total=",     "2147483647",  "-1",
                                         "0=",          "1=",         "macroName=",  "a, b",
                                         "\"",          "\\",         "\n",          "@Variant(\\0\\0)",
                                         "=",           "[",          "]",           "0, 1, 2"};
    std::string text;
    for (int n = int(rng() % 60); n > 0; --n)
        text += pieces[rng() % std::size(pieces)];
    return {text.begin(), text.end()};
}

TEST(PanelFilesRandom, EveryReaderCopesWithAnyFile)
{
    const auto dir = freshTestDirectory();
    const QString root = QString::fromStdString(dir.string());
    std::mt19937 rng(25);
    for (int i = 0; i < 240; ++i)
    {
        SCOPED_TRACE(i);
        std::vector<uint8_t> bytes;
        if (rng() % 2)
            bytes = randomIni(rng);
        else
        {
            bytes.resize(rng() % 2048);
            for (uint8_t &b : bytes)
                b = uint8_t(rng());
        }
        const int kind = int(rng() % panel_input::kKinds);
        // Each reader returns; counts read from a file stay within their bound.
        EXPECT_LE(panel_input::run(root, kind, bytes.data(), bytes.size()), size_t(4 * 10000 + 1000));
    }
    std::filesystem::remove_all(dir);
}
} // namespace
