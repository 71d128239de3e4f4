// A menu that drops below its opener: a list of texts, one chosen.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

T.Popup {
    id: menu
    property var items: []
    signal chosen(int index, string text)
    y: parent ? parent.height : 0
    width: parent ? Math.max(parent.width, 120) : 120
    padding: 2
    background: Rectangle { color: "#44454a"; border.color: "#646464" }
    contentItem: Column {
        Repeater {
            model: menu.items
            Rectangle {
                width: menu.width - 4
                height: 24
                color: area.containsMouse ? "#5a5c63" : "transparent"
                Text { x: 8; anchors.verticalCenter: parent.verticalCenter; text: modelData; color: "#e1e1e1" }
                MouseArea {
                    id: area
                    anchors.fill: parent
                    hoverEnabled: true
                    onClicked: { menu.chosen(index, modelData); menu.close() }
                }
            }
        }
    }
}
