// Replacing open settings files, damaged files and failed writes.
#include "panel_data_fixture.h"

#include <QDateTime>
#include <QSettings>

#include <random>

namespace
{
TEST_F(PanelDataTest, ReplacementTakesTheSourceAndDropsTheOldObjectsPendingKeys)
{
    write("modules/setting/p1.bin", "[a]\nold=1\n");
    write("modules/setting/pD.bin", "[a]\nnew=2\n");
    PanelData &d = open();
    EXPECT_TRUE(d.setData("a/pending", 7)); // not yet synced
    ASSERT_TRUE(d.replaceSettingsFile(0, path("modules/setting/pD.bin")));
    EXPECT_EQ(d.getData("a/new", false).toString(), "2");
    EXPECT_FALSE(d.getData("a/pending", false).isValid());
    EXPECT_FALSE(d.getData("a/old", false).isValid());
    data.reset();
    const QByteArray replaced = read("modules/setting/p1.bin");
    EXPECT_FALSE(replaced.contains("pending"));
    EXPECT_TRUE(replaced.contains("new=2"));
    EXPECT_EQ(QDir(path("modules/setting")).entryList(QDir::Files).filter(".new"), QStringList());
}

TEST_F(PanelDataTest, ReplacementFromAnotherOpenProfileCarriesItsPendingKeys)
{
    PanelData &d = open();
    d.setCurrentProfile(5);
    EXPECT_TRUE(d.setData("k/v", "six"));
    ASSERT_TRUE(d.replaceSettingsFile(3, d.settingsPath(5)));
    d.setCurrentProfile(3);
    EXPECT_EQ(d.getData("k/v", false).toString(), "six");
    EXPECT_TRUE(d.replaceSettingsFile(3, d.settingsPath(3))) << "a file over itself: nothing to do";
    EXPECT_FALSE(d.replaceSettingsFile(10, d.settingsPath(3)));
}

TEST_F(PanelDataTest, SameSizeWithinOneSecondReadsNew)
{
    write("modules/setting/apConfig.bin", "[mouse]\nicType=AAAA\n");
    write("modules/setting/apConfigD.bin", "[mouse]\nicType=BBBB\n");
    PanelData &d = open();
    EXPECT_EQ(d.getGlobalData("mouse/icType").toString(), "AAAA");
    // The same time stamp as the target, to the millisecond.
    QFile source(path("modules/setting/apConfigD.bin"));
    ASSERT_TRUE(source.open(QIODevice::ReadWrite));
    ASSERT_TRUE(source.setFileTime(QFileInfo(path("modules/setting/apConfig.bin")).lastModified(),
                                   QFileDevice::FileModificationTime));
    source.close();
    for (int round = 0; round < 3; ++round)
    {
        ASSERT_TRUE(d.replaceSettingsFile(PanelData::kApConfigSlot, path("modules/setting/apConfigD.bin")));
        EXPECT_EQ(d.getGlobalData("mouse/icType").toString(), "BBBB");
        write("modules/setting/apConfigD.bin",
              round % 2 ? "[mouse]\nicType=BBBB\n" : "[mouse]\nicType=AAAA\n");
        ASSERT_TRUE(d.replaceSettingsFile(PanelData::kApConfigSlot, path("modules/setting/apConfigD.bin")));
        write("modules/setting/apConfigD.bin", "[mouse]\nicType=BBBB\n");
    }
}

TEST_F(PanelDataTest, AFailedReplacementChangesNothing)
{
    write("modules/setting/p2.bin", "[k]\nv=keep\n");
    write("modules/setting/huge.pf", QByteArray(2 * 1024 * 1024, 'a'));
    write("modules/setting/nul.pf", QByteArray("[k]\nv=1\n\0\0", 10));
    write("modules/setting/bad.pf", "[k\nv=1\n");
    write("modules/setting/good.pf", "[k]\nv=new\n");
    PanelData &d = open();
    d.setCurrentProfile(1);
    const QByteArray before = read("modules/setting/p2.bin");
    for (const char *source : {"modules/setting/missing.pf", "modules/setting/huge.pf",
                               "modules/setting/nul.pf", "modules/setting/bad.pf", "modules/setting"})
    {
        EXPECT_FALSE(d.replaceSettingsFile(1, path(source))) << source;
        EXPECT_EQ(read("modules/setting/p2.bin"), before) << source;
        EXPECT_EQ(d.getData("k/v", false).toString(), "keep") << source;
    }
    // An obstacle where the temporary copy must go.
    QDir().mkpath(path("modules/setting/p2.bin.new"));
    EXPECT_FALSE(d.replaceSettingsFile(1, path("modules/setting/good.pf")));
    EXPECT_EQ(read("modules/setting/p2.bin"), before);
    EXPECT_EQ(d.getData("k/v", false).toString(), "keep");
    EXPECT_TRUE(QFileInfo(path("modules/setting/p2.bin.new")).isDir())
        << "the obstacle is not ours to remove";
    QDir(path("modules/setting/p2.bin.new")).removeRecursively();
    EXPECT_TRUE(d.replaceSettingsFile(1, path("modules/setting/good.pf")));
    EXPECT_EQ(d.getData("k/v", false).toString(), "new");
}

// One damaged file at a time: its reader gives defaults, one log line names it, and no write changes it.
struct Kind
{
    const char *file;
    std::function<bool(PanelData &)> readsDefault;
    std::function<void(PanelData &)> writes;
};

TEST_F(PanelDataTest, DamagedFilesReadAsMissingAndAreNeverWritten)
{
    const std::vector<Kind> kinds = {
        {"modules/setting/apConfig.bin", [](PanelData &d) { return !d.getGlobalData("s/k").isValid(); },
         [](PanelData &d) { d.setGlobalData("s/k", 1); }},
        {"modules/setting/p1.bin", [](PanelData &d) { return d.getDataList("s/k", false).isEmpty(); },
         [](PanelData &d) { d.setData("s/k", 1), d.setDataList("s/l", {1}); }},
        {"modules/setting/name.bin", [](PanelData &d) { return d.getNameList(0, 0).isEmpty(); },
         [](PanelData &d) { d.updataNameList(0, {"x"}, 0), d.updataNameList(0, {}, 0); }},
        {"modules/macro/m.bin", [](PanelData &d) { return d.loadMacroIni("m", 0).isEmpty(); },
         [](PanelData &d) { d.saveMacroIni("m", {"x"}, 1, 0, 1, 1), d.createMacroIni("m", 0); }},
        {"modules/gun/gunData.bin",
         [](PanelData &d) { return d.getGunData("g").isEmpty() && d.getGunDataKey().isEmpty(); },
         [](PanelData &d) {
             d.mouseSaveGundata("g", {1, 2, 3, 4, 5, 6}), d.modifyGundata(0, {"g"});
         }},
        {"modules/i18n/en.ini", [](PanelData &d) { return d.getLangStrings("s", "en").isEmpty(); },
         [](PanelData &) {}},
    };
    std::mt19937 rng(25);
    QByteArray noise(4096, 0);
    for (char &c : noise)
        c = char(rng());
    const std::pair<const char *, QByteArray> damages[] = {
        {"larger than 1 MiB", "[s]\nk=1\n" + QByteArray(2 * 1024 * 1024, 'x')},
        {"holds a NUL byte", noise},
        {"not valid settings text", "[s]\nk=1\nl=2\n[broken\n"},
    };
    for (const Kind &kind : kinds)
        for (const auto &[reason, bytes] : damages)
        {
            SCOPED_TRACE(std::string(kind.file) + ": " + reason);
            std::filesystem::remove_all(dir / "modules");
            SetUp();
            write(kind.file, bytes);
            log.Clear();
            PanelData &d = open();
            EXPECT_TRUE(kind.readsDefault(d));
            EXPECT_TRUE(kind.readsDefault(d));
            kind.writes(d);
            data.reset();
            EXPECT_EQ(read(kind.file), bytes);
            EXPECT_EQ(log.Count(("damaged data file " + path(kind.file) + ": " + reason).toStdString()), 1u);
        }
}

TEST_F(PanelDataTest, AFileCutWithinAValueKeepsItsReadableKeys)
{
    // Every kind of file, each cut in its last value: still settings text, so nothing is lost.
    write("modules/setting/apConfig.bin", "[mouse]\nicType=3325\nlang=d");
    write("modules/setting/p1.bin", "[k]\na=1\nb=tw");
    write("modules/setting/name.bin", "[macro]\nmacroName=a, b\n[profile]\n0=FPS, MO");
    write("modules/macro/m.bin", "[config]\ntotal=2\nrepeat=1\ndelay=5\ntimes=2\n[macro]\n0=down\n1=u");
    write("modules/gun/gunData.bin", "[gunData]\nAK=1, 2\nM4=3, 1");
    write("modules/i18n/en.ini", "[menu]\ntotal=3\n0=File\n1=Ed");
    PanelData &d = open();
    EXPECT_EQ(d.icType(), "3325");
    EXPECT_EQ(d.getGlobalData("mouse/lang").toString(), "d");
    EXPECT_EQ(d.getData("k/a", false).toString(), "1");
    EXPECT_EQ(d.getData("k/b", false).toString(), "tw");
    EXPECT_EQ(d.getNameList(0, 0), (QVariantList{"a", "b"}));
    EXPECT_EQ(d.getNameList(2, 0), (QVariantList{"FPS", "MO"}));
    EXPECT_EQ(d.loadMacroIni("m", 0), (QStringList{"down", "u", "1", "5", "2"}));
    EXPECT_EQ(d.getGunDataKey(), (QStringList{"AK", "M4"}));
    EXPECT_EQ(d.getGunData("M4"), (QVariantList{"3", "1"}));
    EXPECT_EQ(d.getLangStrings("menu", "en"), (QStringList{"File", "Ed", ""}));
    for (const auto &line : log.Texts())
        EXPECT_EQ(line.rfind("damaged data file", 0), std::string::npos) << line;
}

TEST_F(PanelDataTest, FailedWritesLeaveEveryFileAsItWas)
{
    PanelData &d = open();
    // Obstacles: folders where the files must go.
    for (const char *folder :
         {"modules/setting/name.bin", "modules/macro/Taken.bin", "modules/gun/gunData.bin"})
        QDir().mkpath(path(folder));
    write("modules/macro/Old.bin", "[config]\ntotal=0\n");
    const auto before = snapshot();
    EXPECT_FALSE(d.updataNameList(0, {"Taken"}, 0));
    EXPECT_FALSE(d.createMacroIni("Taken", 0));
    EXPECT_FALSE(d.saveMacroIni("Taken", {"x"}, 1, 0, 1, 1));
    EXPECT_FALSE(d.modifyMacroName("Old", "Taken", 0));
    EXPECT_FALSE(d.deleteMacroIni("Taken", 0));
    EXPECT_FALSE(d.mouseSaveGundata("g", {1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(snapshot(), before);
}
} // namespace
