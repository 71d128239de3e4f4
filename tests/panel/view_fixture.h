// The QML view over everything it drives: a program folder with its data files, six simulated HID
// devices (keyboard 0, mouse 1, mouse pad 2, headset 3, 3336 mouse 4, accessory 5), the
// configuration library stand-in with the headset selected, and a probe scene that records every
// root-function call. The file dialogs and the program launcher record what they are asked.
#pragma once

#include "device/headset_fixture.h"
#include "device/hid_rig.h"
#include "panel_data_fixture.h"
#include "support/qt_scene.h"

#include "panel/device/headset_audio_control.h"
#include "panel/ui_controler.h"

#include <QQuickItem>
#include <QWidget>

#include <deque>

struct RecordingChooser : FileChooser
{
    struct Request
    {
        Kind kind;
        QWidget *parent;
        QString caption, startFolder, filter;
    };
    QString choose(Kind kind, QWidget *parent, const QString &caption, const QString &startFolder,
                   const QString &filter) override
    {
        requests.push_back({kind, parent, caption, startFolder, filter});
        if (answers.empty())
            return {};
        const QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<QString> answers; // one per dialog; none left: cancelled
    std::vector<Request> requests;
};

struct ArgsLauncher : ProgramLauncher
{
    bool startDetached(const QString &program, const QStringList &arguments) override
    {
        started.push_back({program, arguments});
        return true;
    }
    std::vector<std::pair<QString, QStringList>> started;
};

inline QUrl probeScene(const char *name = "probe.qml")
{
    return QUrl::fromLocalFile(QString(PANEL_TEST_QML_DIR) + "/" + name);
}

// Families: the keyboard speaks 576, the mice 560 (unless told), the rest have no command model.
inline std::vector<SimSetup> panelDevices(int mouseFamily = 560)
{
    std::vector<SimSetup> setups(6);
    setups[0].family = 576;
    setups[1].family = mouseFamily;
    setups[4].family = 560;
    return setups;
}

class ViewTest : public PanelDataTest
{
protected:
    void SetUp() override
    {
        PanelDataTest::SetUp();
        conf.Reset();
        write("modules/setting/apConfig.bin", "[mouse]\nicType=560\nisGun=true\n");
    }
    void TearDown() override
    {
        teardownWindow();
        PanelDataTest::TearDown();
    }
    void teardownWindow()
    {
        if (rig && rig->hid)
            rig->hid->stopPollingUSBVendorCmd();
        controller.reset();
        host.reset();
        headset.reset();
        rig.reset();
    }

    // Builds the window over the devices; the scene's size and calls are the probe's.
    void build(int mouseFamily = 560, const QUrl &scene = probeScene(), bool withHost = true)
    {
        teardownWindow();
        rig = std::make_unique<HidRig>(panelDevices(mouseFamily));
        bindConfigLibrary(libState, CONFLIB_PATH);
        headset = std::make_unique<HeadsetAudioControl>(libState);
        headset->refreshAudioDefaults();
        conf.ResetLog();
        if (withHost)
            host = std::make_unique<QWidget>();
        ViewSetup setup;
        setup.programDir = root;
        setup.source = scene;
        setup.chooser = &chooser;
        setup.launcher = &launcher;
        controller = std::make_unique<Ui_Controler>(host.get(), rig->hid.get(), setup);
        view().setHidThread(rig->hid.get());
        view().setHeadsetControl(headset.get());
        rig->sim.clearLog();
    }

    myQQuickView &view() { return *controller->view(); }
    QQuickItem *scene() { return view().rootObject(); }
    // What the probe recorded: "name(arg,arg)" per root-function call.
    QStringList calls() { return scene() ? scene()->property("calls").toStringList() : QStringList(); }
    // The property calls the library saw since the last reset, as "render set NAME(...)=value".
    std::vector<std::string> library(const char *direction = nullptr)
    {
        std::vector<std::string> out;
        for (const ConfSimCall &call : conf.Calls("PropertyControl"))
        {
            const std::string text = Describe(call);
            if (!direction || text.find(direction) != std::string::npos)
                out.push_back(text);
        }
        return out;
    }
    // The plain command reports (9 bytes) sent to one device, and the payload bytes it was written.
    std::vector<Bytes> commands(int device) { return rig->of(SimDir::FeatureSet, device, true); }
    Bytes written(int device)
    {
        Bytes all;
        for (const Bytes &w : rig->of(SimDir::Write, device))
            all.insert(all.end(), w.begin() + 1, w.end());
        return all;
    }

    RecordingChooser chooser;
    ArgsLauncher launcher;
    ConfLibSimClient conf{CONFLIB_PATH};
    ConfLibState libState;
    std::unique_ptr<HidRig> rig;
    std::unique_ptr<HeadsetAudioControl> headset;
    std::unique_ptr<QWidget> host;
    std::unique_ptr<Ui_Controler> controller;
};
