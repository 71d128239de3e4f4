// A framed one-line text input.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Rectangle {
    id: box
    property alias text: input.text
    property alias placeholder: hint.text
    signal accepted()
    width: 160
    height: 26
    radius: 3
    color: "#1f2024"
    border.color: input.activeFocus ? "#e65a28" : "#55575e"
    TextInput { id: input; anchors.fill: parent; anchors.margins: 5; color: "#e1e1e1"; clip: true; selectByMouse: true
                onAccepted: box.accepted() }
    Text { id: hint; anchors.fill: input; color: "#707279"; visible: input.text === "" }
}
