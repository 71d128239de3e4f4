#include "view_fixture.h"

#include <QMetaMethod>
#include <QQmlContext>

#include <thread>

namespace
{
// The scene's contract: every view slot, in order, with its result type.
const std::pair<const char *, const char *> kViewSlots[84] = {
    {"clearHidBusy()", "void"},
    {"initUI()", "void"},
    {"runUI()", "void"},
    {"ylwCtrl(uchar)", "void"},
    {"resetApconfig()", "void"},
    {"getDeviceConnectState()", "QVariant"},
    {"setDeviceIndex(QVariant)", "void"},
    {"loadMacroFile(QVariant,int)", "bool"},
    {"saveMacroFile(QVariant,int)", "void"},
    {"getOpenSomeVendorPath(QString)", "QString"},
    {"loadProfile(int)", "bool"},
    {"saveProfile(int)", "void"},
    {"resetProfile(int)", "void"},
    {"copyProfile(int,int)", "void"},
    {"getLangStrings(QString,QString)", "QStringList"},
    {"createMacroIni(QVariant,QVariant)", "QVariant"},
    {"updataNameList(QVariant,QStringList,int)", "QVariant"},
    {"modifyMacroName(QVariant,QVariant,int)", "QVariant"},
    {"deleteMacroUpdateProfile(QVariant)", "void"},
    {"deleteMacroIni(QVariant,int)", "QVariant"},
    {"getNameList(QVariant,int)", "QVariantList"},
    {"saveMacroIni(QVariant,QStringList,QVariant,int,int,int)", "QVariant"},
    {"mouseSendMacroData(QVariantList,QVariant)", "QVariant"},
    {"keyboardSendMacroData(QVariantList,QVariant)", "QVariant"},
    {"loadMacroIni(QVariant,int)", "QStringList"},
    {"mouseSaveGundata(QVariant,QVariantList)", "void"},
    {"mouseSendGundata(int,QVariantList)", "void"},
    {"modifyGundata(QVariant,QVariantList)", "void"},
    {"getGunData(QVariant)", "QVariantList"},
    {"getGunDataKey()", "QStringList"},
    {"getXYSensitive(QVariant)", "QVariant"},
    {"setXYSensitive(QVariant,QVariant)", "void"},
    {"setCurrentProfile(int)", "void"},
    {"mouseSetKeyboardoption(uchar,uchar,uchar,uchar)", "void"},
    {"mouseSetReportRate(int,uchar)", "void"},
    {"mouseSetCurrentDPI(uchar)", "void"},
    {"mouseResetKeyMatrix()", "void"},
    {"mouseGetCurrentDPI()", "QVariant"},
    {"mouseSetKeyMatrix(int,QVariantList)", "void"},
    {"keyboardSetKeyMatrix(QVariantList)", "void"},
    {"mouseSetDpi(int,QVariantList,QVariantList,int)", "void"},
    {"mouseSetRGBEffect(int,uchar,uchar,uchar,uchar,uchar,uchar,uchar,uchar)", "void"},
    {"mousePadSetRGBEffect(uchar,uchar,uchar,uchar,uchar,uchar,uchar,uchar)", "void"},
    {"supportSetRGBEffect(uchar,uchar,uchar,uchar,uchar,uchar,uchar,uchar)", "void"},
    {"keyboardSetRGBEffect(uchar,uchar,uchar,uchar,uchar,uchar,uchar,uchar)", "void"},
    {"mouseSetRGBColor(int,uchar,uchar,uchar,uchar)", "void"},
    {"keyboardSetRGBColor(uchar,uchar,uchar,uchar)", "void"},
    {"mouseSetProfile(uint)", "void"},
    {"mouseReadProfile(uint)", "void"},
    {"mouseReadCurrentProfile()", "QVariant"},
    {"mouseSwitchKeyMatrix(int)", "void"},
    {"GetKeyboardoption()", "QVariantList"},
    {"mouseSetCursorSpeed(uint)", "void"},
    {"mouseSetVerticalScrollLines(uint)", "void"},
    {"mouseSetDoubleClickSpeed(uint)", "void"},
    {"mouseGetKeydefine(QVariant,bool)", "QVariantList"},
    {"openUpdateExe()", "void"},
    {"openSubExe()", "void"},
    {"getData(QVariant,bool)", "QVariant"},
    {"getGlobalData(QVariant)", "QVariant"},
    {"getDataList(QVariant,bool)", "QVariantList"},
    {"setData(QVariant,QVariant)", "void"},
    {"setGlobalData(QVariant,QVariant)", "void"},
    {"setDataList(QVariant,QVariantList)", "void"},
    {"setBusy(int)", "void"},
    {"setCurrentDPI(int)", "void"},
    {"setProfile(int)", "void"},
    {"keyboardAdvaceFunctionProc(uchar)", "void"},
    {"headSetSet71(bool)", "void"},
    {"headSetGet71()", "QVariant"},
    {"headSetGetMicStatus()", "QVariant"},
    {"headSetJHQEnable(bool)", "void"},
    {"headSetJHQData(int,int,int,int,int,int,int,int,int,int)", "void"},
    {"headSetYYQXEnable(bool)", "void"},
    {"headSetYYQX0(int)", "void"},
    {"headSetYYQX1(int)", "void"},
    {"headSetHJJZEnable(bool)", "void"},
    {"headSetGetHJJZ()", "QVariant"},
    {"headSetMYQEnable(bool)", "void"},
    {"headSetMYQMode(int)", "void"},
    {"headSetYLKZVoice(int,int,int)", "void"},
    {"headSetMicClose(QVariant)", "void"},
    {"headSetYLKZMic(int,int,int)", "void"},
    {"headSetSetLED(QVariantList)", "void"},
};

int linesContaining(const QtLogCapture &log, const char *text)
{
    int n = 0;
    for (const std::string &line : log.Texts())
        n += line.find(text) != std::string::npos;
    return n;
}
} // namespace

TEST_F(ViewTest, SetUpMakesAFramelessWindowSizedToTheScene)
{
    auto named = std::make_unique<QWidget>();
    named->setObjectName("main");
    build();
    EXPECT_EQ(host->objectName(), "Widget");
    EXPECT_EQ(int(host->windowFlags()), 0x2000801);
    EXPECT_TRUE(host->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(host->styleSheet(), "background:transparent;");
    EXPECT_EQ(host->windowOpacity(), 1.0);
    EXPECT_EQ(host->windowTitle(), "Halvard Zelko T610");
    EXPECT_EQ(view().objectName(), "ui_View");
    EXPECT_EQ(view().parentWidget(), host.get());
    ASSERT_NE(scene(), nullptr);
    EXPECT_EQ(host->size(), QSize(420, 300));
    // The context was there while the scene was created: no reference error, and the probe saw it.
    EXPECT_TRUE(scene()->property("sawContext").toBool());
    EXPECT_EQ(linesContaining(log, "ReferenceError"), 0);
    EXPECT_EQ(view().rootContext()->contextProperty("hid").value<QObject *>(), rig->hid.get());
    EXPECT_EQ(view().rootContext()->contextProperty("ui_Ctl").value<QObject *>(), controller.get());

    // A host that has a name keeps it.
    Ui_Controler other(named.get(), rig->hid.get(), {root, probeScene(), &chooser, &launcher});
    EXPECT_EQ(named->objectName(), "main");
}

TEST_F(ViewTest, SlotsAreTheScenesContractInOrder)
{
    build();
    const QMetaObject *meta = view().metaObject();
    ASSERT_EQ(meta->methodCount() - meta->methodOffset(), 84) << "slots added or removed";
    for (int i = 0; i < 84; ++i)
    {
        const QMetaMethod m = meta->method(meta->methodOffset() + i);
        EXPECT_EQ(m.methodType(), QMetaMethod::Slot) << i;
        EXPECT_EQ(m.access(), QMetaMethod::Public) << i;
        EXPECT_EQ(m.methodSignature().toStdString(), kViewSlots[i].first) << "slot " << i;
        EXPECT_STREQ(m.typeName(), kViewSlots[i].second) << kViewSlots[i].first;
    }
    // The controller's window slots.
    for (const char *slot :
         {"onMinimize()", "onClose()", "onXChanged(int)", "onYChanged(int)", "setBusy(int)", "setBusy()"})
        EXPECT_GE(controller->metaObject()->indexOfSlot(slot), 0) << slot;
}

TEST_F(ViewTest, ControllerMovesHidesAndCoversTheWindow)
{
    build();
    host->move(200, 100);
    controller->onXChanged(-10);
    controller->onYChanged(5);
    EXPECT_EQ(host->pos(), QPoint(190, 105));

    controller->setBusy();
    EXPECT_EQ(calls(), QStringList{"setProtectUI(0)"}) << "a direct call, recorded before setBusy returned";
    controller->setBusy(1500);
    EXPECT_EQ(calls().last(), "setProtectUI(1500)");

    host->show();
    controller->onClose();
    EXPECT_FALSE(host->isVisible());
    host->show();
    controller->onMinimize();
    EXPECT_TRUE(host->isMinimized());

    // Without a host the window slots do nothing; the view still serves the scene.
    Ui_Controler bare(nullptr, rig->hid.get(), {root, probeScene(), &chooser, &launcher});
    bare.onXChanged(5);
    bare.onClose();
    bare.onMinimize();
    bare.setBusy(3);
    EXPECT_EQ(bare.view()->rootObject()->property("calls").toStringList(), QStringList{"setProtectUI(3)"});
}

TEST_F(ViewTest, RootFunctionsAreQueuedOrDirectAsTheSceneExpects)
{
    build();
    view().initUI();
    view().runUI();
    view().ylwCtrl(64);
    EXPECT_TRUE(calls().isEmpty()) << "initUI, run and ylwCtrl wait for the event loop";
    view().setCurrentDPI(800);
    view().setProfile(2);
    view().setBusy(7);
    EXPECT_EQ(calls(), (QStringList{"setCurrentDPI(800)", "setProfile(2)", "setProtectUI(7)"}));
    QCoreApplication::processEvents();
    EXPECT_EQ(calls().mid(3), (QStringList{"initUI()", "run()", "ylwCtrl(64)"}));
}

TEST_F(ViewTest, AStatusFromThePollReachesYlwCtrlOnTheGuiThread)
{
    build();
    Bytes report(16, 0);
    report[0] = 0xFF;
    report[1] = 0x40;
    rig->sim.queueInput(3, report);
    rig->hid->startPollingUSBVendorCmd();
    for (int round = 0; round < 200000 && !calls().contains("ylwCtrl(64)"); ++round)
    {
        QCoreApplication::processEvents();
        std::this_thread::yield();
    }
    rig->hid->stopPollingUSBVendorCmd();
    EXPECT_TRUE(calls().contains("ylwCtrl(64)"));
}

TEST_F(ViewTest, MissingRootFunctionsAreLoggedOnceAndSkipped)
{
    build(560, probeScene("bare.qml"));
    for (int i = 0; i < 3; ++i)
    {
        view().setProfile(1);
        view().initUI();
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(linesContaining(log, "setProfile(QVariant)"), 1);
    EXPECT_EQ(linesContaining(log, "initUI()"), 1);

    // A scene that failed to load has no root object at all.
    Ui_Controler broken(nullptr, rig->hid.get(), {root, probeScene("absent.qml"), &chooser, &launcher});
    EXPECT_EQ(broken.view()->rootObject(), nullptr);
    broken.setBusy(1);
    broken.setBusy(2);
    EXPECT_EQ(linesContaining(log, "root object missing"), 1);
}

// The scene's JavaScript values arrive as the slots' types: numbers as bytes, arrays as lists,
// strings as string lists, booleans as bool.
TEST_F(ViewTest, SlotsTakeTheScenesValues)
{
    build();
    QVariant result;
    const QVariant macro = QVariantList{1, 2, 3}, names = QStringList{"Work", "Play"};
    QMetaObject::invokeMethod(scene(), "sendOptions", Q_ARG(QVariant, 1), Q_ARG(QVariant, 2),
                              Q_ARG(QVariant, 3), Q_ARG(QVariant, 255));
    ASSERT_EQ(commands(1).size(), 1u);
    const uint8_t options[9] = {0, 0x03, 1, 2, 3, 255, 0, 0, 0};
    EXPECT_EQ(commands(1)[0], (Bytes{0, 0x03, 1, 2, 3, 255, 0, 0, hidChecksum(options + 1)}));

    ASSERT_TRUE(QMetaObject::invokeMethod(scene(), "sendMacro", Q_RETURN_ARG(QVariant, result),
                                          Q_ARG(QVariant, macro), Q_ARG(QVariant, 3)));
    EXPECT_TRUE(result.toBool());
    const Bytes data = written(1);
    ASSERT_EQ(data.size(), 192u);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{1, 2, 3, 0}));

    ASSERT_TRUE(QMetaObject::invokeMethod(scene(), "saveNames", Q_RETURN_ARG(QVariant, result),
                                          Q_ARG(QVariant, names)));
    EXPECT_TRUE(result.toBool());
    EXPECT_EQ(view().getNameList(2, 1), (QVariantList{"Work", "Play"}));

    QMetaObject::invokeMethod(scene(), "surround", Q_ARG(QVariant, true));
    EXPECT_EQ(library(" set ").size(), 3u);
    EXPECT_EQ(library(" set ")[0], "render set VirtualSurroundEffectControl(4,-1,0)=1");
}
