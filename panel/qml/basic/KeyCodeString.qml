// Names of key codes: the HID keyboard usages, and 240-244 for the five mouse buttons.
import QtQuick 2.15

QtObject {
    readonly property var special: ({
        40: "Enter", 41: "Esc", 42: "Backspace", 43: "Tab", 44: "Space", 45: "-", 46: "=", 47: "[",
        48: "]", 49: "\\", 51: ";", 52: "'", 53: "`", 54: ",", 55: ".", 56: "/", 57: "Caps Lock",
        70: "Print", 71: "Scroll Lock", 72: "Pause", 73: "Insert", 74: "Home", 75: "Page Up",
        76: "Delete", 77: "End", 78: "Page Down", 79: "Right", 80: "Left", 81: "Down", 82: "Up",
        224: "Left Ctrl", 225: "Left Shift", 226: "Left Alt", 227: "Left Win", 228: "Right Ctrl",
        229: "Right Shift", 230: "Right Alt", 231: "Right Win", 240: "Left Button",
        241: "Right Button", 242: "Middle Button", 243: "Back Button", 244: "Forward Button"
    })
    // The codes a key can be given, in the chooser's order.
    readonly property var assignable: {
        var codes = []
        for (var c = 4; c <= 82; ++c)
            codes.push(c)
        return codes.concat([224, 225, 226, 227, 240, 241, 242, 243, 244])
    }

    function name(code) {
        if (code >= 4 && code <= 29)
            return String.fromCharCode(65 + code - 4)
        if (code >= 30 && code <= 38)
            return String(code - 29)
        if (code === 39)
            return "0"
        if (code >= 58 && code <= 69)
            return "F" + (code - 57)
        return special[code] !== undefined ? special[code] : "Key " + code
    }
}
