// A stand-in scene for the view's tests: the root functions record their calls, and a few
// functions call the view's slots from JavaScript, as the real scene does.
import QtQuick 2.15

Item {
    id: root
    width: 420
    height: 300
    property var calls: []
    // The three published objects, as the scene sees them while it is created.
    property bool sawContext: ui_View !== null && hid !== null && ui_Ctl !== null
                              && ui_View.objectName === "ui_View"

    function record(name, args) {
        var text = name + "(" + Array.prototype.slice.call(args).join(",") + ")"
        console.log(text)
        calls.push(text)
    }
    function setProtectUI(busyTime) { record("setProtectUI", arguments) }
    function initUI() { record("initUI", arguments) }
    function run() { record("run", arguments) }
    function ylwCtrl(value) { record("ylwCtrl", arguments) }
    function detectKeyboard(pressed, code) { record("detectKeyboard", arguments) }
    function detectMouse(pressed, code, x, y) { record("detectMouse", arguments) }
    function setCurrentDPI(dpi) { record("setCurrentDPI", arguments) }
    function setProfile(no) { record("setProfile", arguments) }
    function setVolumes(master, left, right, mic) { record("setVolumes", arguments) }

    // Slots called the way the scene calls them: JavaScript numbers, booleans, arrays and strings.
    function sendOptions(a, b, c, d) { ui_View.mouseSetKeyboardoption(a, b, c, d) }
    function sendMacro(list, index) { return ui_View.mouseSendMacroData(list, index) }
    function saveNames(names) { return ui_View.updataNameList(2, names, 1) }
    function surround(on) { ui_View.headSetSet71(on) }
    function led(list) { ui_View.headSetSetLED(list) }
}
