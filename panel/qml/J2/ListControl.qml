// A list of names with new, rename and delete; the owner does the file work.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    id: list
    property var names: []
    property int current: -1
    property string newText: "New"
    property string renameText: "Rename"
    property string deleteText: "Delete"
    // The name typed for a new entry; an owner may make entries in other ways under it.
    property alias typedName: nameInput.text
    signal picked(int index)
    signal created(string name)
    signal renamed(int index, string name)
    signal removed(int index)
    spacing: 4
    Rectangle {
        width: 200
        height: 120
        color: "#1f2024"
        border.color: "#55575e"
        ListView {
            anchors.fill: parent
            anchors.margins: 2
            clip: true
            model: list.names
            delegate: Rectangle {
                width: 196; height: 22
                color: index === list.current ? "#5a3b2e" : "transparent"
                Text { x: 6; anchors.verticalCenter: parent.verticalCenter; text: modelData; color: "#e1e1e1"; font.pixelSize: 12 }
                MouseArea { anchors.fill: parent; onClicked: { list.current = index; list.picked(index) } }
            }
        }
    }
    RectInput { id: nameInput; objectName: list.objectName + "Name"; width: 200; placeholder: "Name" }
    Row {
        spacing: 4
        Button { objectName: list.objectName + "New"; text: list.newText; onClicked: if (nameInput.text !== "") list.created(nameInput.text) }
        Button { objectName: list.objectName + "Rename"; text: list.renameText; enabled: list.current >= 0; onClicked: if (nameInput.text !== "") list.renamed(list.current, nameInput.text) }
        Button { objectName: list.objectName + "Delete"; text: list.deleteText; enabled: list.current >= 0; onClicked: list.removed(list.current) }
    }
}
