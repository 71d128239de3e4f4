// One mouse key and what it does: default, a key, or a macro.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Rectangle {
    id: row
    property int keyIndex: 0
    property string keyName: ""
    property string binding: ""
    property bool chosen: false
    signal picked(int keyIndex)
    width: 280
    height: 26
    radius: 3
    color: chosen ? "#5a3b2e" : "#3a3c41"
    Text { x: 8; anchors.verticalCenter: parent.verticalCenter; text: row.keyName; color: "#e1e1e1"; font.pixelSize: 12 }
    Text { x: 130; anchors.verticalCenter: parent.verticalCenter; text: row.binding; color: "#e65a28"; font.pixelSize: 12 }
    MouseArea { anchors.fill: parent; onClicked: row.picked(row.keyIndex) }
}
