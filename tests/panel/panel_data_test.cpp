#include "panel_data_fixture.h"

#include <QSettings>

namespace
{
const QString kFiller = "quillbrasten";

TEST_F(PanelDataTest, NameListsKeepOneNameAListAndRemoveEmptyOnes)
{
    PanelData &d = open();
    EXPECT_TRUE(d.updataNameList(0, {"Reload"}, 0));
    EXPECT_EQ(QSettings(path("modules/setting/name.bin"), QSettings::IniFormat)
                  .value("macro/macroName")
                  .toStringList(),
              (QStringList{"Reload", kFiller}));
    EXPECT_EQ(d.getNameList(0, 0), (QVariantList{"Reload", kFiller}));
    EXPECT_TRUE(d.updataNameList(2, {"FPS", "MOBA", "Work"}, 7));
    EXPECT_EQ(d.getNameList(2, 7), (QVariantList{"FPS", "MOBA", "Work"}));
    // Only the language files are UTF-8: other files keep the escaped form existing files have.
    const QString sized = QString::fromUtf8("Gr\xC3\xB6\xC3\x9F"
                                            "e");
    EXPECT_TRUE(d.updataNameList(2, {sized}, 8));
    for (const char byte : read("modules/setting/name.bin"))
        ASSERT_LT(uint8_t(byte), 0x80u) << "a non-ASCII byte in name.bin";
    EXPECT_EQ(d.getNameList(2, 8), (QVariantList{sized, kFiller}));
    EXPECT_TRUE(d.updataNameList(0, {}, 0));
    EXPECT_FALSE(read("modules/setting/name.bin").contains("macroName"));
    EXPECT_EQ(d.getNameList(0, 0), QVariantList());
    EXPECT_FALSE(d.updataNameList(4, {"x"}, 0)) << "unknown type";
    EXPECT_FALSE(d.updataNameList(1, {"a/b"}, 0)) << "a macro name that is no file name";

    // A single value written by hand reads back as a one-element list.
    write("modules/setting/name.bin", "[gun]\nselectGun=AK\n");
    EXPECT_EQ(d.getNameList(3, 0), (QVariantList{"AK"}));
}

TEST_F(PanelDataTest, MacrosLiveInOneFolderPerDeviceFamily)
{
    PanelData &d = open();
    ASSERT_TRUE(d.createMacroIni("Burst", 0));
    EXPECT_EQ(d.loadMacroIni("Burst", 0), (QStringList{"1", "1", "1"}));
    EXPECT_FALSE(d.createMacroIni("Burst", 0)) << "an existing macro stays as it is";

    QStringList ten;
    for (int i = 0; i < 10; ++i)
        ten << QString("down %1").arg(i);
    ASSERT_TRUE(d.saveMacroIni("Burst", ten, 2, 0, 30, 4));
    ASSERT_TRUE(d.saveMacroIni("Burst", ten.mid(0, 3), 2, 0, 30, 4));
    QSettings file(path("modules/macro/Burst.bin"), QSettings::IniFormat);
    file.beginGroup("macro");
    EXPECT_EQ(file.childKeys(), (QStringList{"0", "1", "2"}));
    file.endGroup();
    EXPECT_EQ(d.loadMacroIni("Burst", 0), (QStringList{"down 0", "down 1", "down 2", "2", "30", "4"}));

    // Device number 2 is of the second family in every operation.
    ASSERT_TRUE(d.createMacroIni("Spray", 2));
    EXPECT_TRUE(QFileInfo::exists(path("modules/macro1/Spray.bin")));
    EXPECT_TRUE(d.saveMacroIni("Spray", {"a"}, 1, 2, 1, 1));
    EXPECT_EQ(d.loadMacroIni("Spray", 2), (QStringList{"a", "1", "1", "1"}));
    EXPECT_TRUE(d.modifyMacroName("Spray", "Spray2", 2));
    EXPECT_TRUE(d.deleteMacroIni("Spray2", 2));
    EXPECT_FALSE(QFileInfo::exists(path("modules/macro1/Spray2.bin")));

    // A missing macro: nothing is created.
    const auto before = snapshot();
    EXPECT_FALSE(d.saveMacroIni("Ghost", {"x"}, 1, 0, 1, 1));
    EXPECT_EQ(d.loadMacroIni("Ghost", 0), QStringList());
    EXPECT_FALSE(d.modifyMacroName("Ghost", "Other", 0));
    EXPECT_FALSE(d.deleteMacroIni("Ghost", 0));
    EXPECT_EQ(snapshot(), before);
}

TEST_F(PanelDataTest, MacroNamesThatReachOtherFilesOrRunTooLongAreRefused)
{
    write("modules/setting/apConfig.bin", "[mouse]\nisGun=true\n");
    write("modules/macro/Good.bin", "[config]\ntotal=0\nrepeat=1\ndelay=1\ntimes=1\n");
    PanelData &d = open();
    const auto before = snapshot();
    const QString bad[] = {"../setting/apConfig",
                           "",
                           "a/b",
                           "a\\b",
                           "..",
                           "x..y",
                           "c:",
                           QString("a") + QChar(0),
                           "tab\there",
                           QString("del") + QChar(0x7F)};
    for (const QString &name : bad)
    {
        SCOPED_TRACE(name.toStdString());
        EXPECT_FALSE(d.createMacroIni(name, 0));
        EXPECT_FALSE(d.saveMacroIni(name, {"x"}, 1, 0, 1, 1));
        EXPECT_EQ(d.loadMacroIni(name, 0), QStringList());
        EXPECT_FALSE(d.modifyMacroName("Good", name, 0));
        EXPECT_FALSE(d.modifyMacroName(name, "Good2", 0));
        EXPECT_FALSE(d.deleteMacroIni(name, 0));
        EXPECT_EQ(d.getLangStrings("menu", name), QStringList());
    }
    EXPECT_EQ(snapshot(), before);

    // A new name holds at most 64 characters, so the file's path fits; a longer macro that already
    // exists stays reachable under its name.
    const QString longest(64, 'L'), tooLong(65, 'L');
    EXPECT_FALSE(d.createMacroIni(tooLong, 0));
    EXPECT_FALSE(d.createMacroIni(QString(300, 'L'), 0));
    EXPECT_FALSE(d.modifyMacroName("Good", tooLong, 0));
    EXPECT_EQ(snapshot(), before);
    EXPECT_TRUE(d.createMacroIni(longest, 0));
    EXPECT_TRUE(QFile::exists(path("modules/macro/" + longest + ".bin")));
    write("modules/macro/" + tooLong + ".bin", "[config]\ntotal=0\n");
    EXPECT_TRUE(d.saveMacroIni(tooLong, {"x"}, 1, 0, 1, 1));
    EXPECT_EQ(d.loadMacroIni(tooLong, 0), (QStringList{"x", "1", "1", "1"}));
    EXPECT_TRUE(d.deleteMacroIni(tooLong, 0));
}

TEST_F(PanelDataTest, CountsFromFilesAreBounded)
{
    PanelData &d = open();
    write("modules/macro/Huge.bin", "[config]\ntotal=2147483647\nrepeat=1\ndelay=1\ntimes=1\n[macro]\n0=a\n");
    const QStringList huge = d.loadMacroIni("Huge", 0);
    ASSERT_EQ(huge.size(), 10000 + 3);
    EXPECT_EQ(huge[0], "a");
    EXPECT_EQ(huge[1], "");
    for (const char *total : {"-5", "abc", "1e3", ""})
    {
        write("modules/macro/Odd.bin", QByteArray("[config]\ntotal=") + total + "\n[macro]\n0=a\n");
        EXPECT_EQ(d.loadMacroIni("Odd", 0), (QStringList{"0", "0", "0"})) << total;
    }
    write("modules/i18n/en.ini", "[menu]\ntotal=4294967296\n0=File\n");
    EXPECT_EQ(d.getLangStrings("menu", "en").size(), 10000);
}

TEST_F(PanelDataTest, GunPresetsOnlyWhenTheirFileExists)
{
    PanelData &d = open();
    const QVariantList six{"AK", 1, 2, 3, 4, 5};
    EXPECT_FALSE(d.mouseSaveGundata("AK", six));
    EXPECT_FALSE(d.modifyGundata(0, {"AK"}));
    EXPECT_EQ(d.getGunData("AK"), QVariantList());
    EXPECT_EQ(d.getGunDataKey(), QStringList());
    EXPECT_FALSE(QFileInfo::exists(path("modules/gun"))) << "no gun operation creates the file";

    write("modules/gun/gunData.bin", "");
    ASSERT_TRUE(d.mouseSaveGundata("AK", six));
    EXPECT_EQ(d.getGunData("AK"), (QVariantList{"AK", "1", "2", "3", "4", "5"}))
        << "integers read back as text";
    ASSERT_TRUE(d.modifyGundata(1, {"M4", 9, 8, 7, 6, 5, "AK"}));
    EXPECT_EQ(d.getGunDataKey(), (QStringList{"M4"}));
    EXPECT_EQ(d.getGunData("M4"), (QVariantList{"9", "8", "7", "6", "5"}));

    const QByteArray before = read("modules/gun/gunData.bin");
    EXPECT_FALSE(d.mouseSaveGundata("P90", {1, 2, 3, 4, 5}));
    EXPECT_FALSE(d.modifyGundata(1, {"M4", 1, 2, 3, 4, 5}));
    EXPECT_FALSE(d.modifyGundata(2, {"M4"}));
    EXPECT_EQ(read("modules/gun/gunData.bin"), before);
    ASSERT_TRUE(d.modifyGundata(0, {"M4"}));
    EXPECT_EQ(d.getGunDataKey(), QStringList());
}

TEST_F(PanelDataTest, ProfilesGlobalsAndTranslations)
{
    write("modules/setting/apConfig.bin",
          "[mouse]\nisColorful=true\nisGun=false\nicType=3325\nis55328=true\n");
    write("modules/setting/pD.bin", "[mouseKeyMatrix]\n3=1, 2, 3\n");
    write("modules/i18n/de.ini", QString("[menu]\ntotal=2\n0=Größe\n1=Übernehmen\n").toUtf8());
    PanelData &d = open();
    EXPECT_TRUE(d.isColorful());
    EXPECT_FALSE(d.isGun());
    EXPECT_EQ(d.icType(), "3325");
    EXPECT_TRUE(d.is55328());

    EXPECT_TRUE(d.setDataList("keys/one", {42}));
    EXPECT_EQ(d.getDataList("keys/one", false), (QVariantList{42}));
    d.setCurrentProfile(4);
    EXPECT_TRUE(d.setData("XYSensitive/0", true));
    EXPECT_EQ(d.mouseGetKeydefine(3, true), (QVariantList{"1", "2", "3"}));
    EXPECT_EQ(d.mouseGetKeydefine(3, false), QVariantList());
    EXPECT_TRUE(d.setGlobalData("mouse/lang", "de"));
    data.reset();
    EXPECT_EQ(
        QSettings(path("modules/setting/p5.bin"), QSettings::IniFormat).value("XYSensitive/0").toString(),
        "true");
    EXPECT_TRUE(read("modules/setting/apConfig.bin").contains("lang=de"));

    PanelData &again = open();
    EXPECT_EQ(again.getDataList("keys/one", false), (QVariantList{"42"}));
    EXPECT_EQ(again.getLangStrings("menu", "de"),
              (QStringList{QString::fromUtf8("Größe"), QString::fromUtf8("Übernehmen")}));
    EXPECT_EQ(again.getLangStrings("menu", "fr"), QStringList());
}

TEST_F(PanelDataTest, SystemMouseSettingsAreClampedToTheirRanges)
{
    PanelData &d = open();
    for (uint s : {0u, 10u, 13u})
        EXPECT_TRUE(d.mouseSetDoubleClickSpeed(s));
    for (uint s : {0u, 10u, 40u})
        EXPECT_TRUE(d.mouseSetCursorSpeed(s));
    EXPECT_TRUE(d.mouseSetVerticalScrollLines(5));
    const auto calls = sim::user32::systemParametersCalls();
    ASSERT_EQ(calls.size(), 7u);
    const UINT times[] = {900, 200, 60};
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(calls[size_t(i)].action, UINT(SPI_SETDOUBLECLICKTIME));
        EXPECT_EQ(calls[size_t(i)].uiParam, times[i]);
    }
    const uintptr_t speeds[] = {1, 20, 20};
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(calls[size_t(3 + i)].action, UINT(SPI_SETMOUSESPEED));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(calls[size_t(3 + i)].pvParam), speeds[i]);
    }
    EXPECT_EQ(calls[6].action, UINT(SPI_SETWHEELSCROLLLINES));
    EXPECT_EQ(calls[6].uiParam, 5u);
    for (const auto &call : calls)
        EXPECT_EQ(call.fWinIni, 3u);
    EXPECT_EQ(log.Count("mouseSetCursorSpeed 40"), 1u);

    sim::user32::failSystemParameters(true);
    EXPECT_FALSE(d.mouseSetVerticalScrollLines(1));
    EXPECT_FALSE(d.mouseSetDoubleClickSpeed(1));
    EXPECT_FALSE(d.mouseSetCursorSpeed(1));
    for (const char *line :
         {"setVerticalScrollLines Failed", "setDoubleClickSpeed Failed", "setCursorSpeed Failed"})
        EXPECT_EQ(log.Count(line), 1u) << line;
}

TEST_F(PanelDataTest, CompanionProgramsStartDetachedWhenPresent)
{
    const QString programs[] = {"update/keyboard.exe",          "update/mouse.exe",
                                "update/mousePad/mousePad.exe", "",
                                "update/mouse3336.exe",         "update/support/support.exe"};
    PanelData &d = open();
    device.type = 1;
    EXPECT_FALSE(d.openUpdateExe()) << "not installed";
    EXPECT_TRUE(launcher.started.isEmpty());
    EXPECT_EQ(log.Count(("program not found: " + path("update/mouse.exe")).toStdString()), 1u);
    for (const QString &p : programs)
        if (!p.isEmpty())
            write(p, "MZ");
    write("headset_EQUALIZE.exe", "MZ");
    for (int type = 0; type <= 6; ++type)
    {
        device.type = type;
        launcher.started.clear();
        d.openUpdateExe();
        if (type < 6 && !programs[type].isEmpty())
            EXPECT_EQ(launcher.started, QStringList{path(programs[type])}) << type;
        else
            EXPECT_TRUE(launcher.started.isEmpty()) << type;
    }
    launcher.started.clear();
    EXPECT_TRUE(d.openSubExe());
    EXPECT_EQ(launcher.started, QStringList{path("headset_EQUALIZE.exe")});
    d.clearHidBusy();
    EXPECT_EQ(device.released, 1);
}
} // namespace
