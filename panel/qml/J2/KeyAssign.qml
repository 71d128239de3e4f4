// Chooses what a key does: its default, a key from the names list, or a macro.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    id: assign
    property var names
    property var macros: []
    signal chosen(var entry)
    spacing: 4
    Row {
        spacing: 4
        Button { objectName: "assignDefault"; text: "Default"; onClicked: assign.chosen([1, 0, 0]) }
        DropList {
            id: keyList
            objectName: "assignKey"
            model: assign.names ? assign.names.assignable.map(function (c) { return assign.names.name(c) }) : []
            onActivated: assign.chosen([2, 0, assign.names.assignable[index]])
        }
    }
    DropList {
        objectName: "assignMacro"
        model: assign.macros
        onActivated: assign.chosen([4, 0, index])
    }
}
