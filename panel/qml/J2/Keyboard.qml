// The keyboard drawn as rows of keys (HID usage codes); a click picks a key.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    id: board
    property int chosen: -1
    property var names
    signal picked(int code)
    spacing: 3
    readonly property var rows: [
        [41, -2, 58, 59, 60, 61, -1, 62, 63, 64, 65, -1, 66, 67, 68, 69],
        [53, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 45, 46, 42],
        [43, 20, 26, 8, 21, 23, 28, 24, 12, 18, 19, 47, 48, 49],
        [57, 4, 22, 7, 9, 10, 11, 13, 14, 15, 51, 52, 40],
        [225, 29, 27, 6, 25, 5, 17, 16, 54, 55, 56, 229],
        [224, 227, 226, 44, 230, 231, 228]
    ]
    Repeater {
        model: board.rows
        Row {
            spacing: 3
            Repeater {
                model: modelData
                Loader {
                    sourceComponent: modelData < 0 ? gap : cap
                    property int code: modelData
                }
            }
        }
    }
    Component { id: gap; KeySpacing { units: -code } }
    Component {
        id: cap
        Key {
            code: parent ? parent.code : 0
            name: board.names ? board.names.name(code) : code
            units: code === 44 ? 12 : (code === 42 || code === 40 || code === 225 || code === 229 || code === 57) ? 4 : 2
            chosen: board.chosen === code
            onPicked: { board.chosen = code; board.picked(code) }
        }
    }
}
