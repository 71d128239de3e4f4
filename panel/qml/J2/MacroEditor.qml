// The macro editor of one device family (0: the mouse's folder, 1: the keyboard's): the list of
// macros, recording from the hooks, and save, load, import and export.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Row {
    id: editor
    objectName: "macroEditor" + deviceNo
    property int deviceNo: 0
    property var names
    property var env
    property var macroNames: []
    property var actions: []
    property bool recording: false
    property double lastTime: 0
    property int repeat: 1
    property int delay: 1
    property int times: 1
    // One line on what the last change could not do; empty when it worked.
    property string message: ""
    readonly property string current: macroList.current >= 0 && macroList.current < macroNames.length ? macroNames[macroList.current] : ""
    spacing: 12

    function text(i, fallback) { return env ? env.t("macro", i, fallback) : fallback }
    function reload() {
        var stored = ui_View.getNameList(deviceNo, 0)
        var list = []
        for (var i = 0; i < stored.length; ++i)
            if (stored[i] !== "quillbrasten" && stored[i] !== 0 && String(stored[i]) !== "0")
                list.push(String(stored[i]))
        macroNames = list
    }
    function storeNames(list) {
        var stored = ui_View.updataNameList(deviceNo, list, 0)
        reload()
        return stored
    }
    // Lists and selects a macro whose file was just made; a list that cannot be stored takes the new
    // file away again, and a file that stays is named, since it takes the name from a new macro.
    function adopt(name) {
        if (!storeNames(macroNames.concat([name]))) {
            ui_View.deleteMacroIni(name, deviceNo)
            message = ui_View.fileFailure === "" ? text(11, "The list of macros cannot be written: nothing changed")
                    : text(22, "The list of macros cannot be written: the new macro's file stays and takes its name")
            return
        }
        message = ""
        macroList.current = macroNames.length - 1
        load(name)
    }
    // A new macro from a chosen file, under the name typed for a new macro: an import never replaces
    // one. The name is judged before the dialog opens; a cancelled dialog leaves no message.
    function importAs(name) {
        if (name === "") {
            message = text(14, "Not imported: type a name for the new macro first")
            return
        }
        if (macroNames.indexOf(name) >= 0) {
            message = text(15, "Not imported: the name is taken")
            return
        }
        if (ui_View.loadMacroFile(name, deviceNo)) {
            adopt(name)
            return
        }
        var failure = ui_View.fileFailure
        message = failure === "" ? ""
                : failure === "taken" ? text(15, "Not imported: the name is taken")
                : failure === "name" ? text(16, "Not imported: at most 64 characters and no / \\ : or ..")
                : text(17, "Not imported: the file is not a macro or cannot be read")
    }
    function load(name) {
        var stored = ui_View.loadMacroIni(name, deviceNo)
        if (stored.length < 3) {
            actions = []
            return
        }
        actions = stored.slice(0, stored.length - 3)
        repeat = Number(stored[stored.length - 3])
        delay = Number(stored[stored.length - 2])
        times = Number(stored[stored.length - 1])
    }
    // One recorded step: "k" or "m", the key code, 1 pressed or 0 released, and the wait before it in ms.
    function record(kind, pressed, code) {
        if (!recording)
            return
        var now = Date.now()
        var wait = lastTime === 0 ? 0 : Math.min(65535, now - lastTime)
        lastTime = now
        actions = actions.concat([kind + "," + code + "," + (pressed ? 1 : 0) + "," + wait])
    }
    // The steps as the device's bytes: code, pressed, then the wait in tens of ms (two bytes).
    function bytes() {
        var out = []
        for (var i = 0; i < actions.length; ++i) {
            var p = String(actions[i]).split(",")
            var wait = Math.min(65535, Math.round(Number(p[3]) / 10))
            out.push(Number(p[1]) & 255, Number(p[2]) & 1, wait >> 8, wait & 255)
        }
        return out
    }

    ListControl {
        id: macroList
        objectName: "macros" + editor.deviceNo
        names: editor.macroNames
        newText: editor.text(0, "New")
        renameText: editor.text(1, "Rename")
        deleteText: editor.text(2, "Delete")
        onPicked: editor.load(editor.macroNames[index])
        // The file first: a name is listed only once its file exists.
        onCreated: {
            if (editor.macroNames.indexOf(name) >= 0) {
                editor.message = editor.text(9, "Not created: the name is taken")
                return
            }
            if (!ui_View.createMacroIni(name, editor.deviceNo)) {
                // A file left from a macro that is not in the list also takes the name; it is not replaced.
                var failure = ui_View.fileFailure
                editor.message = failure === "taken" ? editor.text(9, "Not created: the name is taken")
                        : failure === "name" ? editor.text(10, "Not created: at most 64 characters and no / \\ : or ..")
                        : editor.text(19, "Not created: the macro's file cannot be written")
                return
            }
            editor.adopt(name)
        }
        onRenamed: {
            var old = editor.macroNames[index]
            var listed = editor.macroNames.indexOf(name) >= 0
            if (listed || !ui_View.modifyMacroName(old, name, editor.deviceNo)) {
                editor.message = !listed && ui_View.fileFailure === "file"
                        ? editor.text(21, "Not renamed: the macro's file is gone or cannot be moved")
                        : editor.text(12, "Not renamed: the name is taken or not allowed")
                return
            }
            var list = editor.macroNames.slice()
            list[index] = name
            if (!editor.storeNames(list)) {
                ui_View.modifyMacroName(name, old, editor.deviceNo)
                editor.message = editor.text(11, "The list of macros cannot be written: nothing changed")
                return
            }
            editor.message = ""
        }
        // The name and the keys bound to it go only with the file.
        onRemoved: {
            var name = editor.macroNames[index]
            ui_View.deleteMacroIni(name, editor.deviceNo)
            if (ui_View.fileFailure !== "") {
                editor.message = editor.text(20, "Not deleted: the macro's file cannot be removed")
                return
            }
            editor.message = ""
            ui_View.deleteMacroUpdateProfile(name)
            var list = editor.macroNames.slice()
            list.splice(index, 1)
            editor.storeNames(list)
            current = -1
            editor.actions = []
        }
    }
    Column {
        spacing: 4
        Rectangle {
            width: 220
            height: 120
            color: "#1f2024"
            border.color: editor.recording ? "#e65a28" : "#55575e"
            ListView {
                objectName: "macroSteps" + editor.deviceNo
                anchors.fill: parent
                anchors.margins: 2
                clip: true
                model: editor.actions
                delegate: Text {
                    readonly property var p: String(modelData).split(",")
                    text: (p[2] === "1" ? "↓ " : "↑ ") + (editor.names ? editor.names.name(Number(p[1])) : p[1]) + "  " + p[3] + " ms"
                    color: "#e1e1e1"
                    font.pixelSize: 12
                }
            }
        }
        Row {
            spacing: 4
            Button {
                objectName: "macroRecord" + editor.deviceNo
                text: editor.recording ? editor.text(4, "Stop") : editor.text(3, "Record")
                highlighted: editor.recording
                enabled: editor.current !== ""
                onClicked: {
                    if (!editor.recording) {
                        editor.actions = []
                        editor.lastTime = 0
                    }
                    editor.recording = !editor.recording
                }
            }
            Button {
                objectName: "macroSave" + editor.deviceNo
                text: editor.text(5, "Save")
                enabled: editor.current !== ""
                onClicked: editor.message = ui_View.saveMacroIni(editor.current, editor.actions, editor.repeat, editor.deviceNo, editor.delay, editor.times)
                                            ? "" : editor.text(13, "Not saved: the macro's file is gone or cannot be written")
            }
        }
        Row {
            spacing: 4
            Button {
                objectName: "macroImport" + editor.deviceNo
                text: editor.text(6, "Import")
                onClicked: editor.importAs(macroList.typedName)
            }
            Button {
                objectName: "macroExport" + editor.deviceNo
                text: editor.text(7, "Export")
                enabled: editor.current !== ""
                onClicked: {
                    ui_View.saveMacroFile(editor.current, editor.deviceNo)
                    editor.message = ui_View.fileFailure === ""
                            ? "" : editor.text(18, "Not exported: the macro's file is gone or the chosen file cannot be written")
                }
            }
        }
        MessageLine {
            objectName: "macroMessage" + editor.deviceNo
            text: editor.message
        }
    }
}
