// The window's flat button: a text or symbol that lights up under the pointer.
import QtQuick 2.15

Rectangle {
    id: button
    property alias text: label.text
    property bool highlighted: false
    property color tint: "#e65a28"
    signal clicked()
    width: Math.max(36, label.implicitWidth + 20)
    height: 28
    radius: 4
    color: highlighted ? tint : area.pressed ? "#5a5c63" : area.containsMouse ? "#46484e" : "#3a3c41"
    border.color: "#55575e"
    Text { id: label; anchors.centerIn: parent; color: "#e1e1e1"; font.pixelSize: 13 }
    MouseArea { id: area; anchors.fill: parent; hoverEnabled: true; onClicked: button.clicked() }
}
