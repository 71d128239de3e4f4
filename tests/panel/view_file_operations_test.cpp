// Profiles and macros moved as whole files: nothing is lost on a cancelled dialog, a missing or
// damaged source, a blocked target or a bad index.
#include "view_fixture.h"

#include <QDir>
#include <QStandardPaths>

namespace
{
QString profileText(int n)
{
    return QString("[mouseKeyMatrix]\n0=1, 2, %1\n[XYSensitive]\n1=%1\n").arg(n);
}
} // namespace

class ViewFilesTest : public ViewTest
{
protected:
    void SetUp() override
    {
        ViewTest::SetUp();
        for (int p = 1; p <= 10; ++p)
            write(QString("modules/setting/p%1.bin").arg(p), profileText(p).toUtf8());
        write("modules/setting/pD.bin", profileText(0).toUtf8());
        write("modules/setting/apConfigD.bin", "[mouse]\nicType=553\n");
        write("modules/macro/fire.bin", "[config]\ntotal=0\n");
        build();
    }
    QString outside(const QString &name) { return path("outside/" + name); }
};

TEST_F(ViewFilesTest, CopyAndResetReplaceProfilesWhole)
{
    // A key set in profile 6 but not yet written still travels with the copy.
    view().setCurrentProfile(5);
    view().setData("XYSensitive/1", 66);
    view().copyProfile(3, 5);
    EXPECT_EQ(read("modules/setting/p4.bin"), read("modules/setting/p6.bin"));
    EXPECT_TRUE(read("modules/setting/p4.bin").contains("66"));
    view().setCurrentProfile(3);
    EXPECT_EQ(view().getXYSensitive(1).toInt(), 66);

    auto before = snapshot();
    view().copyProfile(4, 4);
    EXPECT_EQ(snapshot(), before);

    view().resetProfile(3);
    EXPECT_EQ(read("modules/setting/p4.bin"), read("modules/setting/pD.bin"));
    EXPECT_EQ(view().getXYSensitive(1).toInt(), 0);

    view().resetApconfig();
    EXPECT_EQ(read("modules/setting/apConfig.bin"), read("modules/setting/apConfigD.bin"));
    EXPECT_EQ(view().getGlobalData("mouse/icType").toString(), "553");

    // Indexes outside 0..9 are refused before any dialog, and nothing changes.
    before = snapshot();
    for (int bad : {10, -1})
    {
        EXPECT_FALSE(view().loadProfile(bad));
        view().saveProfile(bad);
        view().resetProfile(bad);
        view().copyProfile(bad, 1);
        view().copyProfile(1, bad);
    }
    view().setCurrentProfile(10);
    EXPECT_EQ(view().data().currentProfile(), 3);
    EXPECT_TRUE(chooser.requests.empty());
    EXPECT_EQ(snapshot(), before);
}

TEST_F(ViewFilesTest, ImportAndExportGoThroughTheDialogs)
{
    QDir().mkpath(path("outside"));
    chooser.answers = {outside("saved.pf")};
    view().saveProfile(0);
    EXPECT_EQ(read("outside/saved.pf"), read("modules/setting/p1.bin"));
    ASSERT_EQ(chooser.requests.size(), 1u);
    const auto &save = chooser.requests[0];
    EXPECT_EQ(save.kind, FileChooser::Kind::Save);
    EXPECT_EQ(save.parent, &view());
    EXPECT_EQ(save.caption, "Save File");
    EXPECT_EQ(save.filter, "Profile(*.pf)");
    EXPECT_EQ(save.startFolder, QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));

    chooser.answers = {outside("saved.pf")};
    EXPECT_TRUE(view().loadProfile(7));
    EXPECT_EQ(read("modules/setting/p8.bin"), read("modules/setting/p1.bin"));
    EXPECT_EQ(chooser.requests.back().caption, "Open File");

    // Cancelled, or a chosen file that is gone: nothing changes.
    auto before = snapshot();
    EXPECT_FALSE(view().loadProfile(2));
    chooser.answers = {outside("gone.pf")};
    EXPECT_FALSE(view().loadProfile(2));
    view().saveProfile(2);
    EXPECT_EQ(snapshot(), before);

    chooser.answers = {outside("fire.mc")};
    view().saveMacroFile("fire", 0);
    EXPECT_EQ(read("outside/fire.mc"), read("modules/macro/fire.bin"));
    EXPECT_EQ(chooser.requests.back().filter, "Macro(*.mc)");
    chooser.answers = {outside("fire.mc")};
    EXPECT_TRUE(view().loadMacroFile("fire2", 1));
    EXPECT_EQ(read("modules/macro1/fire2.bin"), read("modules/macro/fire.bin"));
    // An existing macro is never overwritten by an import, and a name that cannot be taken opens no
    // dialog.
    write("outside/other.mc", "[config]\ntotal=1\n");
    const size_t dialogs = chooser.requests.size();
    chooser.answers = {outside("other.mc")};
    EXPECT_FALSE(view().loadMacroFile("fire", 0));
    EXPECT_EQ(view().property("fileFailure").toString(), "taken");
    EXPECT_EQ(read("modules/macro/fire.bin"), "[config]\ntotal=0\n");
    EXPECT_FALSE(view().loadMacroFile("../escape", 0));
    EXPECT_EQ(view().property("fileFailure").toString(), "name");
    EXPECT_EQ(chooser.requests.size(), dialogs);

    chooser.answers = {""};
    EXPECT_EQ(view().getOpenSomeVendorPath(""), "");
    EXPECT_EQ(chooser.requests.back().kind, FileChooser::Kind::Folder);
    EXPECT_EQ(chooser.requests.back().caption, "Open Folder");
    chooser.answers = {"/x/y.exe"};
    EXPECT_EQ(view().getOpenSomeVendorPath("Program(*.exe)"), "/x/y.exe");
    EXPECT_EQ(chooser.requests.back().filter, "Program(*.exe)");
}

TEST_F(ViewFilesTest, AFailedExportLeavesTheUsersFile)
{
    write("outside/mine.mc", "the user's own file");
    const auto before = snapshot();
    // The macro does not exist.
    chooser.answers = {outside("mine.mc")};
    view().saveMacroFile("nothing", 0);
    // The temporary path beside the target is taken by a folder.
    QDir().mkpath(outside("mine.mc.new"));
    chooser.answers = {outside("mine.mc")};
    view().saveMacroFile("fire", 0);
    chooser.answers = {outside("mine.mc")};
    view().saveProfile(1);
    QDir(outside("mine.mc.new")).removeRecursively();
    EXPECT_EQ(snapshot(), before);
}

TEST_F(ViewFilesTest, DamagedImportsChangeNothing)
{
    QDir().mkpath(path("outside"));
    const std::vector<std::pair<const char *, QByteArray>> damaged = {
        {"cut.pf", "[mouseKeyMatrix]\n0=1\n[XYSens"},
        {"huge.pf", QByteArray(2 * 1024 * 1024, 'a')},
        {"random.pf", QByteArray("\x01\x00[a]\x00\xff\xfe=\x00", 11).repeated(300)},
    };
    for (const auto &[name, bytes] : damaged)
    {
        write(QString("outside/") + name, bytes);
        const auto before = snapshot();
        log.Clear();
        chooser.answers = {outside(name)};
        EXPECT_FALSE(view().loadProfile(0)) << name;
        chooser.answers = {outside(name)};
        EXPECT_FALSE(view().loadMacroFile("imported", 0)) << name;
        write("modules/setting/apConfigD.bin", bytes);
        const auto withDefault = snapshot();
        view().resetApconfig();
        EXPECT_EQ(snapshot(), withDefault) << name;
        write("modules/setting/apConfigD.bin", "[mouse]\nicType=553\n");
        EXPECT_EQ(snapshot(), before) << name;
        EXPECT_GE(linesWith(log, outside(name)), 1) << name << ": the file is named in the log";
    }
}

TEST_F(ViewFilesTest, DeletedMacroIsUnboundFromTheFirstSixProfiles)
{
    // Key 2 is bound to macro slot 1, named "fire" in each profile; key 3 holds short lists.
    for (int p = 1; p <= 10; ++p)
        write(QString("modules/setting/p%1.bin").arg(p),
              "[mouseKeyMatrix]\n2=4, 0, 1\n3=4\n4=4, 1\n[mouseMacroKey]\n1=fire\n");
    write("modules/setting/pD.bin", "[mouseKeyMatrix]\n2=1, 0, 9\n");
    build();
    view().deleteMacroUpdateProfile("fire");
    for (int p = 0; p < 10; ++p)
    {
        view().setCurrentProfile(p);
        const QVariantList expected = p < 6 ? QVariantList{"1", "0", "9"} : QVariantList{"4", "0", "1"};
        EXPECT_EQ(view().getDataList("mouseKeyMatrix/2", false), expected) << "profile " << p + 1;
        EXPECT_EQ(view().getDataList("mouseKeyMatrix/3", false), QVariantList{"4"});
    }
    view().deleteMacroUpdateProfile("other");
}

TEST_F(ViewFilesTest, SensitivityAndAdvancedKeys)
{
    EXPECT_EQ(view().getXYSensitive(7).toInt(), 4);
    view().setXYSensitive(7, 9);
    EXPECT_EQ(view().getXYSensitive(7).toInt(), 9);

    view().setData("keyboard/advaceFunction3", "C:/Games/x");
    view().keyboardAdvaceFunctionProc(3);
    view().keyboardAdvaceFunctionProc(4); // nothing bound
    ASSERT_EQ(launcher.started.size(), 1u);
    EXPECT_EQ(launcher.started[0].first, "explorer");
    EXPECT_EQ(launcher.started[0].second, QStringList{"C:\\Games\\x"});
}
