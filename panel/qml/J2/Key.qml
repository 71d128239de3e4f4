// One key cap: its name; a click chooses it.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Rectangle {
    id: key
    property int code: 0
    property string name: ""
    property bool chosen: false
    property int units: 2
    signal picked(int code)
    width: units * 13
    height: 26
    radius: 3
    color: chosen ? "#e65a28" : area.containsMouse ? "#5a5c63" : "#46484e"
    border.color: "#2a2b2f"
    Text { anchors.centerIn: parent; text: key.name; color: "#e1e1e1"; font.pixelSize: 10; elide: Text.ElideRight; width: parent.width - 4; horizontalAlignment: Text.AlignHCenter }
    MouseArea { id: area; anchors.fill: parent; hoverEnabled: true; onClicked: key.picked(key.code) }
}
