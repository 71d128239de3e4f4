// A drop-down slider: an opener with the value, and a slider under it.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Rectangle {
    id: drop
    property alias from: slider.from
    property alias to: slider.to
    property alias value: slider.value
    property alias stepSize: slider.stepSize
    signal moved()
    width: 80
    height: 28
    radius: 4
    color: "#44464c"
    border.color: "#55575e"
    Text { anchors.centerIn: parent; text: Math.round(slider.value); color: "#e1e1e1" }
    MouseArea { anchors.fill: parent; onClicked: popup.open() }
    T.Popup {
        id: popup
        y: drop.height
        background: Rectangle { color: "#44454a"; border.color: "#646464" }
        contentItem: T.Slider { id: slider; width: 180; stepSize: 1; snapMode: T.Slider.SnapAlways; onMoved: drop.moved() }
    }
}
