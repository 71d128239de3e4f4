// A drop-down grid: an opener showing the choice, and a grid of choices under it.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Rectangle {
    id: grid
    property var items: []
    property int current: 0
    property int columns: 4
    signal chosen(int index)
    width: 150
    height: 28
    radius: 4
    color: "#44464c"
    border.color: "#55575e"
    Text { x: 8; anchors.verticalCenter: parent.verticalCenter; text: grid.items.length > grid.current ? grid.items[grid.current] : ""; color: "#e1e1e1"; font.pixelSize: 13 }
    MouseArea { anchors.fill: parent; onClicked: popup.open() }
    T.Popup {
        id: popup
        y: grid.height
        padding: 4
        background: Rectangle { color: "#44454a"; border.color: "#646464" }
        contentItem: Grid {
            columns: grid.columns
            spacing: 2
            Repeater {
                model: grid.items
                Button { text: modelData; highlighted: index === grid.current; onClicked: { grid.current = index; grid.chosen(index); popup.close() } }
            }
        }
    }
}
