// The production scene against the native objects it calls: every call names a slot that exists,
// with as many arguments, and its controls reach the devices and the library.
#include "view_fixture.h"

#include <QDirIterator>
#include <QJSValue>
#include <QQuickItem>
#include <QQmlContext>
#include <QRegularExpression>

namespace
{
// The arguments of the call whose "(" is at open: top-level commas, counted; -1 when unbalanced.
int argumentCount(const QString &text, int open)
{
    int depth = 0, commas = 0;
    bool any = false;
    QChar quote;
    for (int i = open + 1; i < text.size(); ++i)
    {
        const QChar c = text[i];
        if (!quote.isNull())
        {
            if (c == '\\')
                ++i;
            else if (c == quote)
                quote = QChar();
            continue;
        }
        if (c == '"' || c == '\'')
            quote = c;
        else if (c == '(' || c == '[' || c == '{')
            ++depth;
        else if ((c == ')' || c == ']' || c == '}') && depth > 0)
            --depth;
        else if (c == ')')
            return any ? commas + 1 : 0;
        else if (c == ',' && depth == 0)
            ++commas;
        if (!c.isSpace() && c != ')')
            any = true;
    }
    return -1;
}

bool hasSlot(const QMetaObject *meta, const QString &name, int arguments)
{
    for (int i = 0; i < meta->methodCount(); ++i)
    {
        const QMetaMethod m = meta->method(i);
        if (m.methodType() == QMetaMethod::Slot && m.access() == QMetaMethod::Public &&
            m.name() == name.toUtf8() && m.parameterCount() == arguments)
            return true;
    }
    return false;
}

// The mouse's macro editor in the production scene, worked through its controls.
struct MacroEditorControls
{
    explicit MacroEditorControls(QQuickItem *scene)
        : scene(scene), name(control(scene, "macros0Name")), message(control(scene, "macroMessage0")),
          editor(control(scene, "macroEditor0")), list(control(scene, "macros0"))
    {
    }
    bool found() const { return name && message && editor && list; }
    void click(const QString &button) const { QMetaObject::invokeMethod(control(scene, button), "clicked"); }
    std::string said() const { return message->property("text").toString().toStdString(); }
    QStringList listed() const { return editor->property("macroNames").toStringList(); }

    QQuickItem *scene;
    QObject *name, *message, *editor, *list;
};
} // namespace

TEST_F(ViewTest, EveryCallOfTheSceneNamesASlotWithItsArguments)
{
    build();
    const std::map<QString, const QMetaObject *> objects = {{"ui_View", view().metaObject()},
                                                            {"hid", rig->hid->metaObject()},
                                                            {"ui_Ctl", controller->metaObject()}};
    const QRegularExpression call("\\b(ui_View|hid|ui_Ctl)\\.(\\w+)\\s*\\(");
    int calls = 0;
    QDirIterator files(PANEL_QML_DIR, {"*.qml", "*.js"}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext())
    {
        QFile file(files.next());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        for (auto it = call.globalMatch(text); it.hasNext();)
        {
            const QRegularExpressionMatch m = it.next();
            const int arguments = argumentCount(text, m.capturedEnd() - 1);
            EXPECT_TRUE(hasSlot(objects.at(m.captured(1)), m.captured(2), arguments))
                << file.fileName().toStdString() << ": " << m.captured(0).toStdString() << " with "
                << arguments << " arguments";
            ++calls;
        }
    }
    EXPECT_GT(calls, 30);
}

TEST_F(ViewTest, TheProductionSceneDrivesTheDevicesThroughItsControls)
{
    build(560, QUrl("qrc:modules/qml/main.qml"));
    for (const QQmlError &error : view().errors())
        ADD_FAILURE() << error.toString().toStdString();
    ASSERT_NE(scene(), nullptr);
    for (const std::string &line : log.Texts())
        EXPECT_EQ(line.find("qrc:"), std::string::npos) << line;
    for (const std::string &line : log.Texts())
        EXPECT_EQ(line.find("file:"), std::string::npos) << "a QML warning: " << line;

    // An equaliser band: each band read, then set.
    QObject *band = control(scene(), "eqBand3");
    ASSERT_NE(band, nullptr);
    conf.ResetLog();
    band->setProperty("value", 5);
    QMetaObject::invokeMethod(band, "moved");
    const auto sets = library(" set ");
    ASSERT_EQ(sets.size(), 10u);
    EXPECT_EQ(sets[2], "render set EQ_Slider3=5");
    EXPECT_EQ(library(" get EQ_Slider").size(), 10u);

    // The 7.1 switch: three steps, then the read-back.
    QObject *surround = control(scene(), "surround");
    ASSERT_NE(surround, nullptr);
    conf.ResetLog();
    surround->setProperty("checked", true);
    QMetaObject::invokeMethod(surround, "toggled");
    EXPECT_EQ(library(" set VirtualSurround").size(), 3u);

    // A DPI stage on the mouse page goes out in the 07H report.
    QObject *stage = control(scene(), "dpiStage0");
    ASSERT_NE(stage, nullptr);
    stage->setProperty("value", 1600);
    QMetaObject::invokeMethod(stage, "changed");
    const auto sent = commands(1);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1][4], 15) << "1600 / 100 - 1";
}

// The macro editor through its controls: a new macro, two keys recorded from the hook, saved as
// steps; deleting it removes the file, its name and the key bound to it, the name and key only with
// the file.
TEST_F(ViewTest, TheMacroEditorRecordsSavesAndUnbinds)
{
    write("modules/setting/pD.bin", "[mouseKeyMatrix]\n2=1, 0, 2\n");
    build(560, QUrl("qrc:modules/qml/main.qml"));
    ASSERT_NE(scene(), nullptr);
    auto click = [&](const char *name)
    {
        QObject *button = control(scene(), name);
        ASSERT_NE(button, nullptr) << name;
        QMetaObject::invokeMethod(button, "clicked");
    };
    control(scene(), "macros0Name")->setProperty("text", "burst");
    click("macros0New");
    EXPECT_TRUE(QFile::exists(path("modules/macro/burst.bin")));
    click("macroRecord0");
    QMetaObject::invokeMethod(scene(), "detectKeyboard", Q_ARG(QVariant, true), Q_ARG(QVariant, 4));
    QMetaObject::invokeMethod(scene(), "detectKeyboard", Q_ARG(QVariant, false), Q_ARG(QVariant, 4));
    click("macroRecord0");
    QMetaObject::invokeMethod(scene(), "detectKeyboard", Q_ARG(QVariant, true), Q_ARG(QVariant, 5));
    click("macroSave0");
    const QStringList stored = view().loadMacroIni("burst", 0);
    ASSERT_EQ(stored.size(), 5) << stored.join(";").toStdString();
    EXPECT_EQ(stored[0], "k,4,1,0");
    EXPECT_TRUE(stored[1].startsWith("k,4,0,"));
    EXPECT_EQ(view().getNameList(0, 0).value(0).toString(), "burst");

    // Bound to a mouse key in profile 1. A delete that cannot remove the file (a folder stands in its
    // place: a read-only folder does not stop the tests' root user) keeps the name, the key and the
    // file, and says so.
    view().setDataList("mouseKeyMatrix/2", {4, 0, 0});
    view().setData("mouseMacroKey/0", "burst");
    QObject *editor = control(scene(), "macroEditor0"), *message = control(scene(), "macroMessage0");
    ASSERT_TRUE(editor && message);
    ASSERT_TRUE(QFile::rename(path("modules/macro/burst.bin"), path("burst.bin")));
    write("modules/macro/burst.bin/step", "");
    click("macros0Delete");
    EXPECT_TRUE(QFile::exists(path("modules/macro/burst.bin/step")));
    EXPECT_EQ(editor->property("macroNames").toStringList(), QStringList{"burst"});
    EXPECT_EQ(view().getNameList(0, 0).value(0).toString(), "burst");
    EXPECT_EQ(view().mouseGetKeydefine(2, false), (QVariantList{"4", "0", "0"}));
    EXPECT_EQ(message->property("text").toString().toStdString(),
              "Not deleted: the macro's file cannot be removed");

    // Once it can: the file and the name go, and the key gets the default profile's entry back.
    ASSERT_TRUE(QDir(path("modules/macro/burst.bin")).removeRecursively());
    ASSERT_TRUE(QFile::rename(path("burst.bin"), path("modules/macro/burst.bin")));
    click("macros0Delete");
    EXPECT_FALSE(QFile::exists(path("modules/macro/burst.bin")));
    EXPECT_EQ(view().mouseGetKeydefine(2, false), (QVariantList{"1", "0", "2"}));
    EXPECT_TRUE(editor->property("macroNames").toStringList().isEmpty());
    EXPECT_TRUE(view().getNameList(0, 0).value(0).toString() != "burst");
    EXPECT_EQ(message->property("text").toString(), "");

    // A file already gone is no failure: its name goes too.
    control(scene(), "macros0Name")->setProperty("text", "gone");
    click("macros0New");
    ASSERT_TRUE(QFile::remove(path("modules/macro/gone.bin")));
    click("macros0Delete");
    EXPECT_TRUE(editor->property("macroNames").toStringList().isEmpty());
    EXPECT_EQ(message->property("text").toString(), "");
}

// A macro is listed only when its file was made; a refused name or a failed save says so in a line.
TEST_F(ViewTest, TheMacroEditorListsOnlyMacrosItCouldMakeAndSaysWhenItCannot)
{
    build(560, QUrl("qrc:modules/qml/main.qml"));
    ASSERT_NE(scene(), nullptr);
    QObject *name = control(scene(), "macros0Name"), *newButton = control(scene(), "macros0New");
    QObject *message = control(scene(), "macroMessage0"), *editor = control(scene(), "macroEditor0");
    ASSERT_TRUE(name && newButton && message && editor);
    const auto before = snapshot();
    for (const QString &refused : {QString(300, 'x'), QString(65, 'x'), QString("fire/burst")})
    {
        SCOPED_TRACE(refused.toStdString());
        name->setProperty("text", refused);
        QMetaObject::invokeMethod(newButton, "clicked");
        EXPECT_TRUE(editor->property("macroNames").toStringList().isEmpty());
        EXPECT_TRUE(view().getNameList(0, 0).isEmpty());
        EXPECT_EQ(snapshot(), before);
        const QString text = message->property("text").toString();
        EXPECT_TRUE(text.startsWith("Not created: at most 64 characters")) << text.toStdString();
        editor->setProperty("message", "");
    }
    // A file of a macro missing from the list takes its name: it is neither listed nor replaced.
    write("modules/macro/orphan.bin", "[config]\ntotal=1\nrepeat=1\ndelay=1\ntimes=1\n[macro]\n0=k,4,1,0\n");
    const auto withOrphan = snapshot();
    name->setProperty("text", "orphan");
    QMetaObject::invokeMethod(newButton, "clicked");
    EXPECT_TRUE(editor->property("macroNames").toStringList().isEmpty());
    EXPECT_EQ(snapshot(), withOrphan);
    EXPECT_EQ(message->property("text").toString().toStdString(), "Not created: the name is taken");

    // A good name whose file cannot be made (a file stands where the keyboard's macro folder goes)
    // blames the file, not the name.
    ASSERT_TRUE(QDir(path("modules/macro1")).removeRecursively());
    write("modules/macro1", "");
    const auto blocked = snapshot();
    control(scene(), "macros1Name")->setProperty("text", "burst");
    QMetaObject::invokeMethod(control(scene(), "macros1New"), "clicked");
    EXPECT_TRUE(control(scene(), "macroEditor1")->property("macroNames").toStringList().isEmpty());
    EXPECT_EQ(snapshot(), blocked);
    EXPECT_EQ(control(scene(), "macroMessage1")->property("text").toString().toStdString(),
              "Not created: the macro's file cannot be written");

    name->setProperty("text", "burst");
    QMetaObject::invokeMethod(newButton, "clicked");
    EXPECT_TRUE(QFile::exists(path("modules/macro/burst.bin")));
    EXPECT_EQ(editor->property("macroNames").toStringList(), QStringList{"burst"});
    EXPECT_EQ(message->property("text").toString(), "");

    // The file goes behind the editor's back: the save fails, and says so.
    QFile::remove(path("modules/macro/burst.bin"));
    QMetaObject::invokeMethod(control(scene(), "macroSave0"), "clicked");
    EXPECT_FALSE(QFile::exists(path("modules/macro/burst.bin")));
    EXPECT_TRUE(message->property("text").toString().startsWith("Not saved"))
        << message->property("text").toString().toStdString();
}

// A rename moves the file first and lists the new name only when it moved. A name it cannot take
// and a file it cannot move each say so in their own line, and change nothing.
TEST_F(ViewTest, TheMacroEditorRenamesOnlyWithItsFileAndSaysWhyNot)
{
    build(560, QUrl("qrc:modules/qml/main.qml"));
    ASSERT_NE(scene(), nullptr);
    const MacroEditorControls m(scene());
    ASSERT_TRUE(m.found());
    const auto rename = [&](const QString &to)
    {
        m.name->setProperty("text", to);
        m.click("macros0Rename");
        return m.said();
    };
    const QByteArray macro = "[config]\ntotal=1\nrepeat=1\ndelay=1\ntimes=1\n[macro]\n0=\"k,4,1,0\"\n";
    for (const char *made : {"burst", "shot"})
    {
        m.name->setProperty("text", made);
        m.click("macros0New");
    }
    write("modules/macro/burst.bin", macro);
    write("modules/macro/orphan.bin", macro);
    m.list->setProperty("current", 0);

    EXPECT_EQ(rename("fire"), "");
    EXPECT_FALSE(QFileInfo::exists(path("modules/macro/burst.bin")));
    EXPECT_EQ(read("modules/macro/fire.bin"), macro);
    EXPECT_EQ(m.listed(), (QStringList{"fire", "shot"}));
    EXPECT_EQ(view().getNameList(0, 0), (QVariantList{"fire", "shot"}));

    // An unlisted macro's file takes its name as a listed one does; neither is replaced.
    const auto before = snapshot();
    for (const QString &refused : {QString("orphan"), QString(65, 'x'), QString("fire/x")})
    {
        SCOPED_TRACE(refused.toStdString());
        EXPECT_EQ(rename(refused), "Not renamed: the name is taken or not allowed");
        EXPECT_EQ(snapshot(), before);
        EXPECT_EQ(m.listed(), (QStringList{"fire", "shot"}));
    }

    // The file went behind the editor's back: the name stays, and the line blames the file.
    ASSERT_TRUE(QFile::remove(path("modules/macro/fire.bin")));
    const auto gone = snapshot();
    EXPECT_EQ(rename("spray"), "Not renamed: the macro's file is gone or cannot be moved");
    EXPECT_EQ(snapshot(), gone);
    EXPECT_EQ(m.listed(), (QStringList{"fire", "shot"}));
    // A listed name is refused before the file is tried, whatever the last file operation left.
    EXPECT_EQ(rename("shot"), "Not renamed: the name is taken or not allowed");
    EXPECT_EQ(snapshot(), gone);
}

// A new macro whose name the list cannot take (a folder stands where the list's file goes) has its
// file taken away again, and the line says nothing changed; a file that cannot be taken away stays
// and takes the name from the next new macro, and the line says that instead.
TEST_F(ViewTest, ANewMacroTheListCannotTakeLeavesNoFileOrSaysItStays)
{
    build(560, QUrl("qrc:modules/qml/main.qml"));
    ASSERT_NE(scene(), nullptr);
    const MacroEditorControls m(scene());
    ASSERT_TRUE(m.found());
    ASSERT_TRUE(QDir().mkpath(path("modules/setting/name.bin")));
    const auto before = snapshot();
    m.name->setProperty("text", "burst");
    m.click("macros0New");
    EXPECT_EQ(snapshot(), before);
    EXPECT_TRUE(m.listed().isEmpty());
    EXPECT_EQ(m.said(), "The list of macros cannot be written: nothing changed");

    // New and Import hand the editor a name whose file they made; here that file cannot be removed
    // (a folder in its place: a read-only folder does not stop the tests' root user).
    write("modules/macro/burst.bin/step", "");
    const auto stays = snapshot();
    QMetaObject::invokeMethod(m.editor, "adopt", Q_ARG(QVariant, "burst"));
    EXPECT_EQ(snapshot(), stays);
    EXPECT_TRUE(m.listed().isEmpty());
    EXPECT_EQ(m.said(),
              "The list of macros cannot be written: the new macro's file stays and takes its name");
}

// Import makes a new macro from a chosen file under the name typed for a new one; a name it cannot
// take is refused before any dialog, a refused file writes nothing, and both say so, as does a failed
// export. A cancelled dialog changes and says nothing.
TEST_F(ViewTest, TheMacroEditorImportsUnderANewNameAndSaysWhenImportOrExportFails)
{
    build(560, QUrl("qrc:modules/qml/main.qml"));
    ASSERT_NE(scene(), nullptr);
    const MacroEditorControls m(scene());
    ASSERT_TRUE(m.found());
    const QByteArray macro = "[config]\ntotal=1\nrepeat=2\ndelay=1\ntimes=3\n[macro]\n0=\"k,4,1,0\"\n";
    write("outside/fire.mc", macro);
    // "burst" is listed with its file gone; "orphan" has a file but is not listed: both take the name.
    m.name->setProperty("text", "burst");
    m.click("macros0New");
    QFile::remove(path("modules/macro/burst.bin"));
    write("modules/macro/orphan.bin", macro);

    auto before = snapshot();
    const std::pair<QString, std::string> refusedNames[] = {
        {"burst", "Not imported: the name is taken"},
        {"orphan", "Not imported: the name is taken"},
        {QString(65, 'x'), "Not imported: at most 64 characters"},
        {"fire/burst", "Not imported: at most 64 characters"},
        {"", "Not imported: type a name"},
    };
    for (const auto &[refused, expected] : refusedNames)
    {
        SCOPED_TRACE(refused.toStdString());
        m.name->setProperty("text", refused);
        chooser.answers = {path("outside/fire.mc")};
        m.click("macroImport0");
        EXPECT_TRUE(chooser.requests.empty()) << "no dialog for a name that cannot be taken";
        EXPECT_EQ(snapshot(), before);
        EXPECT_EQ(m.listed(), QStringList{"burst"});
        EXPECT_EQ(m.said().substr(0, expected.size()), expected) << m.said();
    }

    m.name->setProperty("text", "fire");
    chooser.answers.clear();
    m.click("macroImport0");
    EXPECT_EQ(chooser.requests.size(), 1u);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(m.said(), "") << "a cancelled dialog is no failure";

    write("outside/cut.mc", "[config]\ntotal=1\n[mac");
    write("outside/huge.mc", QByteArray(2 * 1024 * 1024, 'a'));
    QDir().mkpath(path("outside/folder.mc"));
    before = snapshot();
    for (const char *refused : {"cut.mc", "huge.mc", "folder.mc", "gone.mc"})
    {
        SCOPED_TRACE(refused);
        m.editor->setProperty("message", "");
        chooser.answers = {path(QString("outside/") + refused)};
        m.click("macroImport0");
        EXPECT_EQ(snapshot(), before);
        EXPECT_EQ(m.listed(), QStringList{"burst"});
        EXPECT_EQ(m.said(), "Not imported: the file is not a macro or cannot be read");
    }

    chooser.answers = {path("outside/fire.mc")};
    m.click("macroImport0");
    EXPECT_EQ(read("modules/macro/fire.bin"), macro);
    EXPECT_EQ(m.listed(), (QStringList{"burst", "fire"}));
    EXPECT_EQ(m.list->property("current").toInt(), 1);
    EXPECT_EQ(m.editor->property("actions").value<QJSValue>().toVariant().toStringList(),
              QStringList{"k,4,1,0"});
    EXPECT_EQ(m.said(), "");
    // The keyboard's editor imports into its own folder.
    control(scene(), "macros1Name")->setProperty("text", "fire");
    chooser.answers = {path("outside/fire.mc")};
    m.click("macroImport1");
    EXPECT_EQ(read("modules/macro1/fire.bin"), macro);

    // Export: into a folder that is not there, cancelled, done, then with the macro's file gone.
    chooser.answers = {path("outside/none/fire.mc")};
    m.click("macroExport0");
    EXPECT_FALSE(QFileInfo::exists(path("outside/none")));
    EXPECT_EQ(m.said(), "Not exported: the macro's file is gone or the chosen file cannot be written");
    chooser.answers.clear();
    m.click("macroExport0");
    EXPECT_EQ(m.said(), "");
    chooser.answers = {path("outside/copy.mc")};
    m.click("macroExport0");
    EXPECT_EQ(read("outside/copy.mc"), macro);
    EXPECT_EQ(m.said(), "");
    QFile::remove(path("modules/macro/fire.bin"));
    chooser.answers = {path("outside/again.mc")};
    m.click("macroExport0");
    EXPECT_FALSE(QFileInfo::exists(path("outside/again.mc")));
    EXPECT_EQ(m.said().substr(0, 14), "Not exported: ");
}

// A macro file written by hand, its steps unquoted, keeps its steps through the import; quoted steps,
// as the panel writes them, read as before.
TEST_F(ViewTest, AHandWrittenMacroImportsWithItsSteps)
{
    build(560, QUrl("qrc:modules/qml/main.qml"));
    ASSERT_NE(scene(), nullptr);
    QObject *editor = control(scene(), "macroEditor0");
    ASSERT_NE(editor, nullptr);
    write("outside/hand.mc", "[config]\ntotal=3\nrepeat=1\ndelay=1\ntimes=2\n"
                             "[macro]\n0=k,4,1,0\n1=\"k,4,0,120\"\n2=m, 1, 1, 30\n");
    control(scene(), "macros0Name")->setProperty("text", "hand");
    chooser.answers = {path("outside/hand.mc")};
    QMetaObject::invokeMethod(control(scene(), "macroImport0"), "clicked");
    EXPECT_EQ(editor->property("macroNames").toStringList(), QStringList{"hand"});
    EXPECT_EQ(editor->property("actions").value<QJSValue>().toVariant().toStringList(),
              (QStringList{"k,4,1,0", "k,4,0,120", "m,1,1,30"}));
    EXPECT_EQ(editor->property("times").toInt(), 2);
}

// The profile page's Import and Export say in a line when the chosen file was refused or could not be
// written; a cancelled dialog, or one that worked, clears the line.
TEST_F(ViewTest, TheProfilePageSaysWhenImportOrExportFails)
{
    for (int p = 1; p <= 10; ++p)
        write(QString("modules/setting/p%1.bin").arg(p), QString("[XYSensitive]\n1=%1\n").arg(p).toUtf8());
    write("outside/cut.pf", "[mouseKeyMatrix]\n0=1\n[XYSens");
    write("outside/good.pf", "[XYSensitive]\n1=77\n");
    build(560, QUrl("qrc:modules/qml/main.qml"));
    ASSERT_NE(scene(), nullptr);
    QObject *message = control(scene(), "profileMessage");
    ASSERT_NE(message, nullptr);
    const auto click = [&](const char *button, const QString &chosen)
    {
        chooser.answers.clear();
        if (!chosen.isEmpty())
            chooser.answers.push_back(path(chosen));
        QMetaObject::invokeMethod(control(scene(), button), "clicked");
        return message->property("text").toString().toStdString();
    };
    const std::string notImported = "Not imported: the file is not a profile or cannot be read";
    const std::string notExported =
        "Not exported: the profile's file is missing or the chosen file cannot be written";

    const auto before = snapshot();
    EXPECT_EQ(click("profileImport", "outside/cut.pf"), notImported);
    EXPECT_EQ(click("profileImport", ""), "") << "a cancelled dialog is no failure";
    EXPECT_EQ(click("profileImport", "outside/gone.pf"), notImported);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(click("profileImport", "outside/good.pf"), "");
    EXPECT_EQ(read("modules/setting/p1.bin"), read("outside/good.pf"));

    EXPECT_EQ(click("profileExport", "outside/none/p1.pf"), notExported);
    EXPECT_FALSE(QFileInfo::exists(path("outside/none")));
    EXPECT_EQ(click("profileExport", ""), "");
    EXPECT_EQ(click("profileImport", "outside/cut.pf"), notImported);
    EXPECT_EQ(click("profileExport", "outside/p1.pf"), "");
    EXPECT_EQ(read("outside/p1.pf"), read("outside/good.pf"));
}
