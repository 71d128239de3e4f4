// devpanel's scene: a frameless window with a title bar, one device page at a time, and the
// root functions the native side calls by name.
import QtQuick 2.15
import QtQuick.Controls 2.15

Rectangle {
    id: root
    objectName: "root"
    width: 900
    height: 600
    color: "#2b2c30"
    radius: 6

    property int connectState: 0
    property int status: 0
    property string page: "headset"

    // ---- Root functions
    function setProtectUI(busyTime) {
        console.log("setProtectUI", busyTime)
        busyCover.visible = busyTime > 0
        busyTimer.interval = Math.max(1, busyTime)
        busyTimer.restart()
    }
    function initUI() {
        console.log("initUI")
        connectState = ui_View.getDeviceConnectState()
    }
    function run() {
        console.log("run")
        surround.checked = ui_View.headSetGet71() !== 0
        noise.checked = ui_View.headSetGetHJJZ() !== 0
        micMute.checked = ui_View.headSetGetMicStatus() !== 0
    }
    function ylwCtrl(value) {
        console.log("ylwCtrl", value)
        status = value
    }
    function detectKeyboard(pressed, code) { console.log("detectKeyboard", pressed, code) }
    function detectMouse(pressed, code, x, y) { console.log("detectMouse", pressed, code, x, y) }
    function setCurrentDPI(dpi) {
        console.log("setCurrentDPI", dpi)
        currentDpi.text = "DPI " + dpi
    }
    function setProfile(no) { console.log("setProfile", no) }

    // ---- Title bar: drag, minimise, close to the tray
    Rectangle {
        id: titleBar
        width: parent.width
        height: 36
        color: "#1d1e21"
        radius: 6
        Text {
            anchors.verticalCenter: parent.verticalCenter
            x: 14
            text: "Halvard Zelko T610"
            color: "#e1e1e1"
            font.pixelSize: 15
        }
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
            anchors.verticalCenter: parent.verticalCenter
            spacing: 4
            Button { objectName: "minimise"; text: "_"; width: 36; onClicked: ui_Ctl.onMinimize() }
            Button { objectName: "close"; text: "×"; width: 36; onClicked: ui_Ctl.onClose() }
        }
    }

    // ---- Device selector: the connected devices and the headset
    Row {
        id: selector
        y: 44
        x: 14
        spacing: 6
        Repeater {
            model: [ { name: "headset", label: "Headset", bit: 3 }, { name: "mouse", label: "Mouse", bit: 1 },
                     { name: "keyboard", label: "Keyboard", bit: 0 }, { name: "mousepad", label: "Mouse pad", bit: 2 },
                     { name: "accessory", label: "Accessory", bit: 5 } ]
            Button {
                objectName: "select_" + modelData.name
                text: modelData.label
                visible: modelData.name === "headset" || (root.connectState & (1 << modelData.bit)) !== 0
                highlighted: root.page === modelData.name
                onClicked: {
                    ui_View.setDeviceIndex(modelData.bit)
                    root.page = modelData.name
                }
            }
        }
    }

    Rectangle {
        id: banner
        objectName: "noDevice"
        visible: root.connectState === 0
        y: 92
        width: parent.width
        height: 34
        color: "#8a3b2e"
        Text {
            anchors.centerIn: parent
            text: "No device connected"
            color: "white"
            font.pixelSize: 15
        }
    }

    // ---- Headset page
    Item {
        id: headsetPage
        visible: root.page === "headset"
        x: 14
        y: 134
        width: parent.width - 28
        height: parent.height - 150
        Column {
            spacing: 6
            Row {
                spacing: 10
                Switch { palette.windowText: "#e1e1e1"; id: eq; objectName: "eqEnable"; text: "Equaliser"; onToggled: ui_View.headSetJHQEnable(checked) }
                Switch { palette.windowText: "#e1e1e1"; id: surround; objectName: "surround"; text: "7.1 surround"
                         onToggled: { ui_View.headSetSet71(checked); checked = ui_View.headSetGet71() !== 0 } }
                Switch { palette.windowText: "#e1e1e1"; id: noise; objectName: "noise"; text: "Noise reduction"
                         onToggled: { ui_View.headSetHJJZEnable(checked); checked = ui_View.headSetGetHJJZ() !== 0 } }
                Switch { palette.windowText: "#e1e1e1"; id: micMute; objectName: "micMute"; text: "Mic mute"
                         onToggled: { ui_View.headSetMicClose(checked ? 1 : 0); checked = ui_View.headSetGetMicStatus() !== 0 } }
            }
            Row {
                spacing: 2
                Repeater {
                    id: bands
                    model: 10
                    Slider {
                        objectName: "eqBand" + (index + 1)
                        orientation: Qt.Vertical
                        height: 120
                        width: 40
                        from: -12
                        to: 12
                        stepSize: 1
                        onMoved: root.sendBands()
                    }
                }
            }
            Row {
                spacing: 10
                Switch { palette.windowText: "#e1e1e1"; objectName: "clarity"; text: "Voice clarity"; onToggled: ui_View.headSetYYQXEnable(checked) }
                Slider { objectName: "clarityLevel"; width: 150; from: 0; to: 5; stepSize: 1
                         onMoved: ui_View.headSetYYQX0(value === 0 ? -1 : [-1, 65, 131, 197, 263, 329][value]) }
                Slider { objectName: "clarityNoise"; width: 150; from: 0; to: 9; stepSize: 1
                         onMoved: ui_View.headSetYYQX1([-1, 38, 78, 117, 157, 197, 236, 276, 315, 355][value]) }
            }
            Row {
                spacing: 10
                Switch { palette.windowText: "#e1e1e1"; objectName: "changer"; text: "Voice changer"; onToggled: ui_View.headSetMYQEnable(checked) }
                SpinBox { objectName: "changerMode"; from: 0; to: 7; onValueModified: ui_View.headSetMYQMode(value) }
                Button { objectName: "equaliserProgram"; text: "Equaliser"; onClicked: ui_View.openSubExe() }
            }
            Row {
                spacing: 10
                CheckBox { palette.windowText: "#e1e1e1"; id: volumeLock; objectName: "volumeLock"; text: "Lock"; checked: true }
                Slider { id: left; objectName: "playLeft"; width: 140; from: 0; to: 272
                         onMoved: { if (volumeLock.checked) right.value = value; ui_View.headSetYLKZVoice(volumeLock.checked ? 1 : 0, left.value, right.value) } }
                Slider { id: right; objectName: "playRight"; width: 140; from: 0; to: 272
                         onMoved: { if (volumeLock.checked) left.value = value; ui_View.headSetYLKZVoice(volumeLock.checked ? 1 : 0, left.value, right.value) } }
                Slider { id: micLevel; objectName: "micLevel"; width: 140; from: 0; to: 272
                         onMoved: ui_View.headSetYLKZMic(1, value, value) }
            }
            Row {
                spacing: 10
                Switch { palette.windowText: "#e1e1e1"; id: light; objectName: "light"; text: "Light"; onToggled: root.sendLight() }
                Text { objectName: "status"; color: "#e1e1e1"; text: "Status " + root.status }
            }
        }
    }

    // ---- Mouse page
    Item {
        visible: root.page === "mouse"
        x: 14
        y: 134
        Column {
            spacing: 8
            Text { id: currentDpi; color: "#e1e1e1"; text: "DPI" }
            Row {
                spacing: 4
                Repeater {
                    id: stages
                    model: 8
                    SpinBox { objectName: "dpiStage" + index; from: 100; to: 16000; stepSize: 100
                              value: 800 * (index + 1); editable: true; onValueModified: root.sendDpi() }
                }
            }
            Row {
                spacing: 8
                ComboBox { objectName: "reportRate"; model: ["1000 Hz", "500 Hz", "250 Hz", "125 Hz"]
                           onActivated: ui_View.mouseSetReportRate(0, index) }
                Slider { objectName: "mouseBrightness"; from: 0; to: 218
                         onMoved: ui_View.mouseSetRGBEffect(0, 1, value, 109, 1, 0, 255, 0, 0) }
            }
        }
    }

    // ---- Keyboard, mouse pad and accessory lights
    Repeater {
        model: ["keyboard", "mousepad", "accessory"]
        Item {
            visible: root.page === modelData
            x: 14
            y: 134
            Slider {
                objectName: modelData + "Brightness"
                width: 300
                from: 0
                to: 218
                onMoved: {
                    if (modelData === "keyboard") ui_View.keyboardSetRGBEffect(1, value, 109, 1, 0, 255, 0, 0)
                    else if (modelData === "mousepad") ui_View.mousePadSetRGBEffect(1, value, 109, 1, 0, 255, 0, 0)
                    else ui_View.supportSetRGBEffect(1, value, 109, 1, 0, 255, 0, 0)
                }
            }
        }
    }

    function sendBands() {
        var v = []
        for (var i = 0; i < 10; ++i)
            v.push(Math.round(bands.itemAt(i).value))
        ui_View.headSetJHQData(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9])
    }
    function sendDpi() {
        var select = [], values = []
        for (var i = 0; i < 8; ++i) {
            select.push(true)
            values.push(stages.itemAt(i).value)
        }
        ui_View.mouseSetDpi(0, select, values, 0)
    }
    function sendLight() {
        var list = []
        for (var i = 0; i < 31; ++i)
            list.push(0)
        list[0] = 255
        list[21] = light.checked ? 1 : 0
        list[22] = 1
        list[23] = 10
        ui_View.headSetSetLED(list)
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
