// Outside input at random, bounded and seeded: whatever lists the scene passes, and whatever file a
// user picks to import.
#include "view_fixture.h"

#include "panel/data_file.h"

#include <random>

namespace
{
#if defined(__SANITIZE_ADDRESS__)
constexpr int kScale = 4; // the sanitizer build runs the same cases, fewer of them
#else
constexpr int kScale = 1;
#endif

QVariant randomValue(std::mt19937 &rng)
{
    switch (rng() % 7)
    {
    case 0:
        return int(rng());
    case 1:
        return -int(rng() % 100000);
    case 2:
        return 1e300 * ((rng() % 2) ? 1 : -1);
    case 3:
        return QString::number(rng() % 300);
    case 4:
        return QString::fromLatin1("x\0y", 3);
    case 5:
        return bool(rng() % 2);
    default:
        return QVariantList{1, 2};
    }
}

QVariantList randomList(std::mt19937 &rng)
{
    QVariantList list;
    const int n = rng() % 4 == 0 ? int(rng() % 1001) : int(rng() % 40);
    for (int i = 0; i < n; ++i)
        list << randomValue(rng);
    return list;
}

QByteArray randomFile(std::mt19937 &rng)
{
    static const QByteArray pieces[] = {
        "[mouseKeyMatrix]\n", "0=1, 2\n", "[config]\ntotal=3\n", "=\n", "[", "\\", "\"", "\n",
        QByteArray(1, '\0'),  "é"};
    QByteArray bytes;
    const int kind = int(rng() % 4);
    const int size = kind == 0 ? int(rng() % (2 * 1024 * 1024 + 1)) : int(rng() % 4096);
    while (bytes.size() < size)
        bytes += kind == 1 ? QByteArray(1, char(rng())) : pieces[rng() % 10];
    bytes.truncate(size);
    return bytes;
}
} // namespace

TEST_F(ViewTest, RandomListsNeverOverrunABuffer)
{
    build();
    std::mt19937 rng(2626);
    using Call = std::function<void(myQQuickView &, const QVariantList &)>;
    const std::vector<Call> calls = {
        [](myQQuickView &v, const QVariantList &l) { v.mouseSendMacroData(l, 3); },
        [](myQQuickView &v, const QVariantList &l) { v.keyboardSendMacroData(l, 11); },
        [](myQQuickView &v, const QVariantList &l) { v.mouseSendGundata(1, l); },
        [](myQQuickView &v, const QVariantList &l) { v.mouseSetKeyMatrix(0, l); },
        [](myQQuickView &v, const QVariantList &l) { v.keyboardSetKeyMatrix(l); },
        [](myQQuickView &v, const QVariantList &l) { v.mouseSetDpi(1, l, l, 1); },
        [](myQQuickView &v, const QVariantList &l) { v.mouseSetDpi(0, l, {}, 0); },
        [](myQQuickView &v, const QVariantList &l) { v.headSetSetLED(l); },
        [](myQQuickView &v, const QVariantList &l) { v.mouseSaveGundata("g", l); },
        [](myQQuickView &v, const QVariantList &l) { v.modifyGundata(1, l); },
        [](myQQuickView &v, const QVariantList &l) { v.setDataList("k/list", l); },
    };
    for (int round = 0; round < 400 / kScale; ++round)
    {
        rig->sim.clearLog();
        calls[rng() % calls.size()](view(), randomList(rng));
        // The largest buffer is the keyboard's 512-byte matrix, in 32-byte reports.
        int writes = 0;
        for (const SimLogEntry &e : rig->sim.log())
            if (e.dir == SimDir::Write)
            {
                ++writes;
                EXPECT_LE(e.bytes.size(), 33u);
            }
        EXPECT_LE(writes, 16);
    }
}

TEST_F(ViewTest, RandomImportsAreTakenWholeOrNotAtAll)
{
    for (int p = 1; p <= 10; ++p)
        write(QString("modules/setting/p%1.bin").arg(p), "[XYSensitive]\n1=1\n");
    build();
    std::mt19937 rng(2727);
    for (int round = 0; round < 24 / kScale; ++round)
    {
        const QByteArray bytes = randomFile(rng);
        write("outside/chosen", bytes);
        const bool usable = checkDataFile(path("outside/chosen")).usable;
        const auto before = snapshot();
        const QByteArray old = read("modules/setting/p3.bin");
        chooser.answers = {path("outside/chosen")};
        const bool profileTaken = view().loadProfile(2);
        EXPECT_EQ(profileTaken, usable) << bytes.size();
        EXPECT_EQ(read("modules/setting/p3.bin"), profileTaken ? bytes : old);
        chooser.answers = {path("outside/chosen")};
        const QString macro = QString("m%1").arg(round);
        const bool macroTaken = view().loadMacroFile(macro, 0);
        EXPECT_EQ(macroTaken, usable);
        EXPECT_EQ(read("modules/macro/" + macro + ".bin"), macroTaken ? bytes : QByteArray());
        if (!usable)
        {
            EXPECT_EQ(snapshot(), before);
        }
    }
}
