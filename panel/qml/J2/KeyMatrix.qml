// The mouse keys of the current profile ("mouseKeyMatrix" lists) and their bindings.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    id: matrix
    property var entries: []
    property var names
    property var keyNames: ["Left", "Right", "Middle", "Back", "Forward", "DPI up", "DPI down", "Profile", "Wheel up", "Wheel down", "Side 1", "Side 2", "Side 3", "Side 4", "Tilt left", "Tilt right"]
    property int chosen: 0
    signal picked(int keyIndex)
    spacing: 2
    Repeater {
        model: Math.min(8, matrix.keyNames.length)
        SingleKey {
            keyIndex: index
            keyName: matrix.keyNames[index]
            chosen: matrix.chosen === index
            binding: matrix.describe(matrix.entries[index])
            onPicked: { matrix.chosen = keyIndex; matrix.picked(keyIndex) }
        }
    }
    function describe(entry) {
        if (!entry || entry.length < 3)
            return "-"
        var kind = Number(entry[0])
        if (kind === 2 && names)
            return names.name(Number(entry[2]))
        if (kind === 4)
            return "Macro " + (Number(entry[2]) + 1)
        return "Default"
    }
}
