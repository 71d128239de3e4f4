// devpanel's scene: a frameless window with a title bar, one device page at a time, and the root
// functions the native side calls by name ("setProtectUI", "initUI", "run", "ylwCtrl",
// "detectKeyboard", "detectMouse", "setCurrentDPI", "setProfile").
import QtQuick 2.15
import QtQuick.Controls 2.15 as T
import "qrc:/modules/qml/basic"
import "qrc:/modules/qml/common" as C
import "qrc:/modules/qml/J2" as J2

Rectangle {
    id: root
    objectName: "root"
    width: 900
    height: 600
    color: environment.window
    radius: 6

    property int connectState: 0
    property int status: 0
    readonly property bool headsetConnected: (connectState & (1 << deviceOf.headset)) !== 0
    // Whether the volumes the sliders show were read from the headset: until then a pair of sliders
    // stands for no level at all, so it is disabled and sends nothing.
    property bool playbackRead: false
    property bool micRead: false
    property string page: "headset"
    property int profile: 0
    property var profileNames: []
    property var keyEntries: []
    // The device index of each page, as the HID thread numbers its records.
    readonly property var deviceOf: ({ keyboard: 0, mouse: 1, mousepad: 2, headset: 3, mouse3336: 4, accessory: 5 })
    readonly property var devicePages: [ { name: "headset", text: 1, label: "Headset" }, { name: "mouse", text: 2, label: "Mouse" },
                                         { name: "mouse3336", text: 3, label: "Mouse 2" }, { name: "keyboard", text: 4, label: "Keyboard" },
                                         { name: "mousepad", text: 5, label: "Mouse pad" }, { name: "accessory", text: 6, label: "Accessory" } ]
    readonly property bool isMouse: page === "mouse" || page === "mouse3336"
    readonly property int is3336: page === "mouse3336" ? 1 : 0
    readonly property bool isGun: String(ui_View.getGlobalData("mouse/isGun")) === "true"

    Environment { id: environment }
    KeyCodeString { id: keyNames }
    function t(section, index, fallback) { return environment.t(section, index, fallback) }

    // ---- Root functions
    function setProtectUI(busyTime) {
        console.log("setProtectUI", busyTime)
        busyCover.visible = busyTime > 0
        busyTimer.interval = Math.max(1, busyTime)
        busyTimer.restart()
    }
    function initUI() {
        console.log("initUI")
        connectState = Number(ui_View.getDeviceConnectState())
        if (!pageConnected(page))
            page = "headset"
        loadProfileNames()
        loadKeyEntries()
        mouseMacros.reload()
        keyboardMacros.reload()
    }
    function run() {
        console.log("run")
        surround.checked = Number(ui_View.headSetGet71()) !== 0
        noise.checked = Number(ui_View.headSetGetHJJZ()) !== 0
        micMute.checked = Number(ui_View.headSetGetMicStatus()) !== 0
    }
    // The headset's volumes as levels 0..100, read at each device check, -1 for one that could not
    // be read: with the lock on, both sides show the master volume that the locked sliders send.
    // Each send carries both sides, so a pair is placed only when both of its levels were read.
    function setVolumes(master, left, right, mic) {
        console.log("setVolumes", master, left, right, mic)
        var playLevels = volumeLock.checked ? [master, master] : [left, right]
        playbackRead = playLevels[0] >= 0 && playLevels[1] >= 0
        if (playbackRead) {
            playLeft.value = playLevels[0]
            playRight.value = playLevels[1]
        }
        micRead = mic >= 0
        if (micRead) {
            micLeft.value = mic
            micRight.value = mic
        }
    }
    // A slider's level (0 silent .. 100 full) as the bridge's volume value (0 full .. 272 silent),
    // rounded down so that the bridge's percent of it is the level itself.
    function bridgeVolume(level) {
        return Math.floor((100 - level) * 272 / 100)
    }
    function sendVolume() {
        if (playbackRead)
            ui_View.headSetYLKZVoice(volumeLock.checked ? 1 : 0, bridgeVolume(playLeft.value), bridgeVolume(playRight.value))
    }
    function sendMicVolume() {
        if (micRead)
            ui_View.headSetYLKZMic(micLock.checked ? 1 : 0, bridgeVolume(micLeft.value), bridgeVolume(micRight.value))
    }
    function connectedNames() {
        var names = []
        for (var i = 0; i < devicePages.length; ++i)
            if ((connectState & (1 << deviceOf[devicePages[i].name])) !== 0)
                names.push(t("main", devicePages[i].text, devicePages[i].label))
        return names.join(", ")
    }
    function ylwCtrl(value) {
        console.log("ylwCtrl", value)
        status = value
    }
    function detectKeyboard(pressed, code) {
        console.log("detectKeyboard", pressed, code)
        mouseMacros.record("k", pressed, code)
        keyboardMacros.record("k", pressed, code)
    }
    function detectMouse(pressed, code, x, y) {
        console.log("detectMouse", pressed, code, x, y)
        mouseMacros.record("m", pressed, code)
        keyboardMacros.record("m", pressed, code)
    }
    function setCurrentDPI(dpi) {
        console.log("setCurrentDPI", dpi)
        currentDpi.shown = dpi
    }
    function setProfile(no) {
        console.log("setProfile", no)
        if (no >= 0 && no < 10)
            chooseProfile(no)
    }

    // ---- Device pages and profiles
    function pageConnected(name) {
        return name === "headset" || (connectState & (1 << deviceOf[name])) !== 0
    }
    function showPage(name) {
        ui_View.setDeviceIndex(deviceOf[name])
        page = name
        loadProfileNames()
        loadKeyEntries()
    }
    function loadProfileNames() {
        var stored = ui_View.getNameList(2, deviceOf[page])
        var names = []
        for (var i = 0; i < 10; ++i)
            names.push(i < stored.length && stored[i] !== "quillbrasten" && String(stored[i]) !== "0" ? String(stored[i])
                                                                                                      : t("profile", 0, "Profile") + " " + (i + 1))
        profileNames = names
    }
    function chooseProfile(index) {
        profile = index
        ui_View.setCurrentProfile(index)
        if (isMouse)
            ui_View.mouseSwitchKeyMatrix(index + 1)
        loadKeyEntries()
        xy.profileToken++
    }
    function loadKeyEntries() {
        var entries = []
        for (var k = 0; k < 16; ++k)
            entries.push(ui_View.mouseGetKeydefine(k, false))
        keyEntries = entries
    }
    function assignMouseKey(key, entry) {
        var entries = keyEntries.slice()
        entries[key] = entry
        keyEntries = entries
        ui_View.setDataList("mouseKeyMatrix/" + key, entry)
        if (entry[0] === 4) {
            var name = mouseMacros.macroNames[entry[2]]
            ui_View.setData("mouseMacroKey/" + entry[2], name)
            mouseMacros.load(name)
            ui_View.mouseSendMacroData(mouseMacros.bytes(), entry[2])
        }
        var flat = []
        for (var i = 0; i < 16; ++i)
            for (var b = 0; b < 4; ++b)
                flat.push(entries[i] && b < entries[i].length ? Number(entries[i][b]) : 0)
        ui_View.mouseSetKeyMatrix(is3336, flat)
    }
    function sendDpi() {
        ui_View.mouseSetDpi(dpiStages.current, dpiStages.selectList(), dpiStages.valueList(), is3336)
        currentDpi.shown = dpiStages.valueList()[dpiStages.current]
    }
    function sendHeadsetLight() {
        var list = []
        for (var i = 0; i < 31; ++i)
            list.push(0)
        list[0] = headsetLight.colour.r
        list[1] = headsetLight.colour.g
        list[2] = headsetLight.colour.b
        list[21] = headsetLightOn.checked ? 1 : 0
        list[22] = Math.max(1, headsetLight.effect)
        list[23] = Math.round(headsetLight.brightness / 218 * 10)
        list[24] = Math.round(headsetLight.speed / 218 * 10)
        ui_View.headSetSetLED(list)
    }
    function sendLight(light, device) {
        var c = light.colour
        if (device === "mouse" || device === "mouse3336")
            ui_View.mouseSetRGBEffect(is3336, light.effect, light.brightness, light.speed, light.colourful ? 1 : 0, light.direction ? 1 : 0, c.r, c.g, c.b)
        else if (device === "keyboard")
            ui_View.keyboardSetRGBEffect(light.effect, light.brightness, light.speed, light.colourful ? 1 : 0, light.direction ? 1 : 0, c.r, c.g, c.b)
        else if (device === "mousepad")
            ui_View.mousePadSetRGBEffect(light.effect, light.brightness, light.speed, light.colourful ? 1 : 0, light.direction ? 1 : 0, c.r, c.g, c.b)
        else
            ui_View.supportSetRGBEffect(light.effect, light.brightness, light.speed, light.colourful ? 1 : 0, light.direction ? 1 : 0, c.r, c.g, c.b)
    }
    function sendBands() {
        var v = []
        for (var i = 0; i < 10; ++i)
            v.push(Math.round(bands.itemAt(i).value))
        ui_View.headSetJHQData(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9])
    }

    Component.onCompleted: environment.load(String(ui_View.getGlobalData("common/language")) === "de" ? "de" : "en")

    // ---- Title bar: drag, language, minimise, close to the tray
    Rectangle {
        id: titleBar
        width: parent.width
        height: 36
        color: environment.bar
        radius: 6
        Text { anchors.verticalCenter: parent.verticalCenter; x: 14; text: "Halvard Zelko T610"; color: environment.text; font.pixelSize: 15; font.bold: true }
        MouseArea {
            anchors.fill: parent
            property point last
            onPressed: last = Qt.point(mouse.x, mouse.y)
            onPositionChanged: {
                ui_Ctl.onXChanged(mouse.x - last.x)
                ui_Ctl.onYChanged(mouse.y - last.y)
            }
        }
        Row {
            anchors.right: parent.right
            anchors.rightMargin: 4
            anchors.verticalCenter: parent.verticalCenter
            spacing: 4
            Repeater {
                model: ["en", "de"]
                C.Button {
                    objectName: "lang_" + modelData
                    text: modelData.toUpperCase()
                    highlighted: environment.language === modelData
                    onClicked: { environment.load(modelData); ui_View.setGlobalData("common/language", modelData) }
                }
            }
            C.Button { objectName: "minimise"; text: "_"; onClicked: ui_Ctl.onMinimize() }
            C.Button { objectName: "close"; text: "×"; tint: "#c0392b"; onClicked: ui_Ctl.onClose() }
        }
    }

    // ---- Device selector: the connected devices and the headset
    Row {
        id: selector
        y: 44
        x: 14
        spacing: 6
        Repeater {
            model: root.devicePages
            C.Button {
                objectName: "select_" + modelData.name
                text: root.t("main", modelData.text, modelData.label)
                visible: root.pageConnected(modelData.name)
                highlighted: root.page === modelData.name
                onClicked: root.showPage(modelData.name)
            }
        }
    }

    Rectangle {
        id: banner
        objectName: "noDevice"
        visible: root.connectState === 0
        y: 80
        width: parent.width
        height: 30
        color: "#8a3b2e"
        Text { anchors.centerIn: parent; text: root.t("main", 0, "No device connected"); color: "white"; font.pixelSize: 15 }
    }

    // ---- The device's picture and, for mice and the keyboard, its profiles
    Column {
        x: 14
        y: 118
        spacing: 8
        Image {
            objectName: "skin"
            width: 240
            height: 180
            source: "qrc:/modules/img/skin1/" + root.page + ".png"
        }
        J2.Frame {
            objectName: "profiles"
            title: root.t("profile", 1, "Profiles")
            width: 240
            visible: root.isMouse || root.page === "keyboard"
            Column {
                spacing: 4
                J2.DropList { objectName: "profileChoice"; width: 220; model: root.profileNames; currentIndex: root.profile
                              onActivated: root.chooseProfile(index) }
                J2.RectInput { id: profileName; objectName: "profileName"; width: 220; placeholder: root.t("profile", 2, "New name")
                               onAccepted: {
                                   var names = root.profileNames.slice()
                                   names[root.profile] = text
                                   ui_View.updataNameList(2, names, root.deviceOf[root.page])
                                   root.loadProfileNames()
                               } }
                Row {
                    spacing: 4
                    // A cancelled dialog is no failure: the line is cleared.
                    J2.Button { objectName: "profileImport"; text: root.t("profile", 3, "Import")
                                onClicked: {
                                    if (ui_View.loadProfile(root.profile))
                                        root.chooseProfile(root.profile)
                                    profileMessage.text = ui_View.fileFailure === ""
                                            ? "" : root.t("profile", 11, "Not imported: the file is not a profile or cannot be read")
                                } }
                    J2.Button { objectName: "profileExport"; text: root.t("profile", 4, "Export")
                                onClicked: {
                                    ui_View.saveProfile(root.profile)
                                    profileMessage.text = ui_View.fileFailure === ""
                                            ? "" : root.t("profile", 12, "Not exported: the profile's file is missing or the chosen file cannot be written")
                                } }
                    J2.Button { objectName: "profileReset"; text: root.t("profile", 5, "Reset"); onClicked: { ui_View.resetProfile(root.profile); root.chooseProfile(root.profile) } }
                }
                Row {
                    spacing: 4
                    J2.DropList { id: copyTarget; width: 120; model: root.profileNames }
                    J2.Button { objectName: "profileCopy"; text: root.t("profile", 6, "Copy to"); onClicked: ui_View.copyProfile(copyTarget.currentIndex, root.profile) }
                }
                Row {
                    spacing: 4
                    visible: root.isMouse
                    J2.Button { objectName: "profileRead"; text: root.t("profile", 7, "Read"); onClicked: ui_View.mouseReadProfile(root.profile + 1) }
                    J2.Button { objectName: "profileWrite"; text: root.t("profile", 8, "Write"); onClicked: ui_View.mouseSetProfile(root.profile + 1) }
                    J2.Button { objectName: "profileCurrent"; text: root.t("profile", 9, "Current")
                                onClicked: { var n = Number(ui_View.mouseReadCurrentProfile()); if (n >= 1 && n <= 10) root.chooseProfile(n - 1) } }
                }
                J2.Button { objectName: "resetSettings"; text: root.t("profile", 10, "Reset device settings"); onClicked: ui_View.resetApconfig() }
                J2.MessageLine { id: profileMessage; objectName: "profileMessage" }
            }
        }
    }

    // ---- Sections of a page: a row of tabs above the section shown
    component Tabs: Row {
        property var names: []
        property int current: 0
        spacing: 4
        Repeater {
            model: parent.names
            J2.Button { objectName: "tab_" + modelData; text: modelData; highlighted: index === parent.current; onClicked: parent.current = index }
        }
    }

    // ---- Headset page
    Item {
        id: headsetPage
        objectName: "headsetPage"
        visible: root.page === "headset"
        x: 270
        y: 118
        width: 616
        height: 470
        Tabs { id: headsetTabs; names: [root.t("headset", 0, "Sound"), root.t("headset", 1, "Voice"), root.t("headset", 2, "Volume"), root.t("headset", 3, "Light")] }
        Column {
            y: 40
            spacing: 8
            visible: headsetTabs.current === 0
            enabled: root.headsetConnected
            opacity: enabled ? 1 : 0.4
            Row {
                spacing: 14
                J2.CheckBox { objectName: "eqEnable"; text: root.t("headset", 4, "Equaliser"); onToggled: ui_View.headSetJHQEnable(checked) }
                J2.CheckBox { id: surround; objectName: "surround"; text: root.t("headset", 5, "7.1 surround")
                              onToggled: { ui_View.headSetSet71(checked); checked = Number(ui_View.headSetGet71()) !== 0 } }
                J2.CheckBox { id: noise; objectName: "noise"; text: root.t("headset", 6, "Noise reduction")
                              onToggled: { ui_View.headSetHJJZEnable(checked); checked = Number(ui_View.headSetGetHJJZ()) !== 0 } }
            }
            J2.Frame {
                title: root.t("headset", 7, "Equaliser bands")
                width: 420
                Row {
                    spacing: 6
                    Repeater {
                        id: bands
                        model: ["31", "62", "125", "250", "500", "1k", "2k", "4k", "8k", "16k"]
                        J2.EqSlider { objectName: "eqBand" + (index + 1); label: modelData; onMoved: root.sendBands() }
                    }
                }
            }
            J2.Button { objectName: "equaliserProgram"; text: root.t("headset", 8, "Equaliser…"); onClicked: ui_View.openSubExe() }
        }
        Column {
            y: 40
            spacing: 8
            visible: headsetTabs.current === 1
            enabled: root.headsetConnected
            opacity: enabled ? 1 : 0.4
            J2.CheckBox { objectName: "clarity"; text: root.t("headset", 9, "Voice clarity"); onToggled: ui_View.headSetYYQXEnable(checked) }
            J2.VoiceSlider { objectName: "clarityLevel"; label: root.t("headset", 10, "Clarity"); steps: [-1, 65, 131, 197, 263, 329]
                             onMoved: ui_View.headSetYYQX0(stepValue) }
            J2.VoiceSlider { objectName: "clarityNoise"; label: root.t("headset", 11, "Background"); steps: [-1, 38, 78, 117, 157, 197, 236, 276, 315, 355]
                             onMoved: ui_View.headSetYYQX1(stepValue) }
            J2.CheckBox { objectName: "changer"; text: root.t("headset", 12, "Voice changer"); onToggled: ui_View.headSetMYQEnable(checked) }
            J2.DropGrid { objectName: "changerMode"; items: [root.t("headset", 13, "Man"), root.t("headset", 14, "Woman"), root.t("headset", 15, "Child"), root.t("headset", 16, "Robot")]
                          onChosen: ui_View.headSetMYQMode(index) }
        }
        Column {
            y: 40
            spacing: 8
            visible: headsetTabs.current === 2
            enabled: root.headsetConnected
            opacity: enabled ? 1 : 0.4
            J2.CheckBox { id: volumeLock; objectName: "volumeLock"; text: root.t("headset", 17, "Lock left and right"); checked: true }
            // Levels 0..100, loud to the right; placed from the headset by setVolumes, and disabled
            // until it could. Dimmed here only while connected: without a device the column dims.
            J2.SliderButton { id: playLeft; objectName: "playLeft"; label: root.t("headset", 18, "Left"); from: 0; to: 100; value: 0
                              enabled: root.playbackRead; opacity: enabled || !root.headsetConnected ? 1 : 0.4
                              onMoved: { if (volumeLock.checked) playRight.value = value; root.sendVolume() } }
            J2.SliderButton { id: playRight; objectName: "playRight"; label: root.t("headset", 19, "Right"); from: 0; to: 100; value: 0
                              enabled: root.playbackRead; opacity: enabled || !root.headsetConnected ? 1 : 0.4
                              onMoved: { if (volumeLock.checked) playLeft.value = value; root.sendVolume() } }
            J2.CheckBox { id: micLock; objectName: "micLock"; text: root.t("headset", 20, "Lock microphone"); checked: true }
            J2.SliderButton { id: micLeft; objectName: "micLeft"; label: root.t("headset", 21, "Mic left"); from: 0; to: 100; value: 0
                              enabled: root.micRead; opacity: enabled || !root.headsetConnected ? 1 : 0.4
                              onMoved: { if (micLock.checked) micRight.value = value; root.sendMicVolume() } }
            J2.SliderButton { id: micRight; objectName: "micRight"; label: root.t("headset", 22, "Mic right"); from: 0; to: 100; value: 0
                              enabled: root.micRead; opacity: enabled || !root.headsetConnected ? 1 : 0.4
                              onMoved: { if (micLock.checked) micLeft.value = value; root.sendMicVolume() } }
            J2.CheckBox { id: micMute; objectName: "micMute"; text: root.t("headset", 23, "Microphone mute")
                          onToggled: { ui_View.headSetMicClose(checked ? 1 : 0); checked = Number(ui_View.headSetGetMicStatus()) !== 0 } }
        }
        Column {
            y: 40
            spacing: 8
            visible: headsetTabs.current === 3
            enabled: root.headsetConnected
            opacity: enabled ? 1 : 0.4
            J2.CheckBox { id: headsetLightOn; objectName: "light"; text: root.t("headset", 24, "Light on"); onToggled: root.sendHeadsetLight() }
            J2.LightControl { id: headsetLight; objectName: "headsetLight"; env: environment; onChanged: root.sendHeadsetLight() }
        }
        Text { objectName: "status"; anchors.bottom: parent.bottom; color: environment.dim; font.pixelSize: 14
               text: root.connectState === 0 ? root.t("main", 0, "No device connected")
                                             : root.t("headset", 25, "Connected:") + " " + root.connectedNames() }
    }

    // ---- Mouse page (both mice)
    Item {
        objectName: "mousePage"
        visible: root.isMouse
        x: 270
        y: 118
        width: 616
        height: 470
        Tabs { id: mouseTabs; names: [root.t("mouse", 0, "DPI"), root.t("mouse", 1, "Keys"), root.t("light", 0, "Light"), root.t("macro", 8, "Macros"), root.t("mouse", 2, "Gun"), root.t("mouse", 3, "System")] }
        Column {
            y: 40
            spacing: 10
            visible: mouseTabs.current === 0
            Text { id: currentDpi; objectName: "currentDpi"; property int shown: 0; color: environment.text; font.pixelSize: 16; text: root.t("mouse", 4, "Current DPI") + " " + shown }
            J2.DpiSetting { id: dpiStages; onChanged: root.sendDpi() }
            J2.Button { objectName: "dpiRead"; text: root.t("mouse", 5, "Read DPI"); onClicked: root.setCurrentDPI(Number(ui_View.mouseGetCurrentDPI())) }
            Text { color: environment.text; text: root.t("mouse", 6, "Report rate") }
            J2.ReportRate { objectName: "reportRate"; onChosen: ui_View.mouseSetReportRate(root.is3336, index) }
        }
        Row {
            y: 40
            spacing: 16
            visible: mouseTabs.current === 1
            J2.KeyMatrix { id: keyMatrix; objectName: "keyMatrix"; names: keyNames; entries: root.keyEntries }
            Column {
                spacing: 8
                J2.Mouse { width: 160; height: 120; source: "qrc:/modules/img/skin1/" + root.page + ".png"; chosen: keyMatrix.chosen }
                J2.KeyAssign { names: keyNames; macros: mouseMacros.macroNames; onChosen: root.assignMouseKey(keyMatrix.chosen, entry) }
                J2.Button { objectName: "keysReset"; text: root.t("mouse", 7, "Reset keys"); onClicked: ui_View.mouseResetKeyMatrix() }
            }
        }
        J2.LightControl { id: mouseLight; objectName: "mouseLight"; env: environment; y: 40; visible: mouseTabs.current === 2; onChanged: root.sendLight(mouseLight, root.page) }
        J2.MacroEditor { id: mouseMacros; y: 40; deviceNo: 0; names: keyNames; env: environment; visible: mouseTabs.current === 3 }
        Column {
            y: 40
            spacing: 8
            visible: mouseTabs.current === 4
            Text { color: environment.dim; text: root.isGun ? root.t("mouse", 8, "Gun presets") : root.t("mouse", 9, "This mouse has no gun presets"); font.pixelSize: 13 }
            Row {
                spacing: 6
                visible: root.isGun
                J2.DropList { id: gunChoice; objectName: "gunChoice"; model: root.isGun ? ui_View.getGunDataKey() : [] }
                J2.Button { objectName: "gunApply"; text: root.t("mouse", 10, "Apply")
                            onClicked: ui_View.mouseSendGundata(root.profile, ui_View.getGunData(gunChoice.currentText)) }
            }
        }
        Column {
            y: 40
            spacing: 8
            visible: mouseTabs.current === 5
            J2.XYSetting { id: xy }
            Row {
                spacing: 8
                J2.RadioButton { id: optionA; objectName: "optionAngle"; text: root.t("mouse", 11, "Angle snapping") }
                J2.RadioButton { objectName: "optionNone"; text: root.t("mouse", 12, "Plain"); checked: true }
                J2.Button { objectName: "optionsSend"; text: root.t("mouse", 10, "Apply")
                            onClicked: { var o = ui_View.GetKeyboardoption(); ui_View.mouseSetKeyboardoption(optionA.checked ? 1 : 0, o.length > 1 ? o[1] : 0, o.length > 2 ? o[2] : 0, o.length > 3 ? o[3] : 0) } }
            }
            J2.SystemSetting { speedText: root.t("mouse", 13, "Pointer speed"); doubleText: root.t("mouse", 14, "Double-click"); scrollText: root.t("mouse", 15, "Scroll lines") }
        }
        J2.Button { objectName: "mouseFirmware"; anchors.bottom: parent.bottom; text: root.t("main", 7, "Firmware update"); onClicked: ui_View.openUpdateExe() }
    }

    // ---- Keyboard page
    Item {
        objectName: "keyboardPage"
        visible: root.page === "keyboard"
        x: 270
        y: 118
        width: 616
        height: 470
        Tabs { id: keyboardTabs; names: [root.t("light", 0, "Light"), root.t("keyboard", 0, "Keys"), root.t("macro", 8, "Macros"), root.t("keyboard", 1, "Advanced")] }
        Row {
            y: 40
            spacing: 12
            visible: keyboardTabs.current === 0
            J2.LightControl { id: keyboardLight; objectName: "keyboardLight"; env: environment; onChanged: root.sendLight(keyboardLight, "keyboard") }
            J2.KeyboardLightColor {}
        }
        Column {
            y: 40
            spacing: 8
            visible: keyboardTabs.current === 1
            J2.Keyboard { id: board; names: keyNames }
            J2.KeyAssign {
                names: keyNames
                macros: keyboardMacros.macroNames
                onChosen: {
                    var list = ui_View.getDataList("keyboardKeyMatrix", false)
                    var full = []
                    for (var i = 0; i < 512; ++i)
                        full.push(i < list.length ? Number(list[i]) : 0)
                    if (board.chosen >= 0 && board.chosen < 128) {
                        full[board.chosen * 4] = entry[0]
                        full[board.chosen * 4 + 1] = entry[1]
                        full[board.chosen * 4 + 2] = entry[2]
                    }
                    ui_View.setDataList("keyboardKeyMatrix", full)
                    ui_View.keyboardSetKeyMatrix(full)
                    if (entry[0] === 4) {
                        keyboardMacros.load(keyboardMacros.macroNames[entry[2]])
                        ui_View.keyboardSendMacroData(keyboardMacros.bytes(), entry[2])
                    }
                }
            }
        }
        J2.MacroEditor { id: keyboardMacros; y: 40; deviceNo: 1; names: keyNames; env: environment; visible: keyboardTabs.current === 2 }
        Column {
            y: 40
            spacing: 6
            visible: keyboardTabs.current === 3
            Repeater {
                model: 4
                Row {
                    spacing: 6
                    Text { width: 60; color: environment.text; text: "G" + (index + 1); anchors.verticalCenter: parent.verticalCenter }
                    Text { id: target; width: 260; color: environment.dim; elide: Text.ElideMiddle; anchors.verticalCenter: parent.verticalCenter
                           text: String(ui_View.getData("keyboard/advaceFunction" + index, false) || "") }
                    J2.Button { objectName: "advancedChoose" + index; text: root.t("keyboard", 2, "Choose")
                                onClicked: { var p = ui_View.getOpenSomeVendorPath(""); if (p !== "") { ui_View.setData("keyboard/advaceFunction" + index, p); target.text = p } } }
                    J2.Button { objectName: "advancedRun" + index; text: root.t("keyboard", 3, "Open"); onClicked: ui_View.keyboardAdvaceFunctionProc(index) }
                }
            }
        }
        J2.Button { objectName: "keyboardFirmware"; anchors.bottom: parent.bottom; text: root.t("main", 7, "Firmware update"); onClicked: ui_View.openUpdateExe() }
    }

    // ---- Mouse pad and accessory: their lights
    Repeater {
        model: ["mousepad", "accessory"]
        Item {
            objectName: modelData + "Page"
            visible: root.page === modelData
            x: 270
            y: 118
            width: 616
            height: 470
            J2.LightControl { id: padLight; objectName: modelData + "Light"; env: environment; onChanged: root.sendLight(padLight, modelData) }
            J2.Button { objectName: modelData + "Firmware"; anchors.bottom: parent.bottom; text: root.t("main", 7, "Firmware update"); onClicked: ui_View.openUpdateExe() }
        }
    }

    // ---- Busy cover: no new device command while one is in flight
    Rectangle {
        id: busyCover
        objectName: "busyCover"
        anchors.fill: parent
        visible: false
        color: "#a0000000"
        radius: 6
        BusyIndicator { anchors.centerIn: parent; running: busyCover.visible }
        MouseArea { anchors.fill: parent }
        Timer { id: busyTimer; onTriggered: busyCover.visible = false }
    }
}
