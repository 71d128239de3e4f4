// One DPI stage: whether it is in the cycle, and its value.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    id: stage
    property alias selected: check.checked
    property alias value: spin.value
    property bool current: false
    property int number: 1
    signal changed()
    signal picked()
    spacing: 2
    Rectangle { width: 64; height: 18; radius: 3; color: stage.current ? "#e65a28" : "#44464c"
                Text { anchors.centerIn: parent; text: "DPI " + stage.number; color: "#e1e1e1"; font.pixelSize: 11 }
                MouseArea { anchors.fill: parent; onClicked: stage.picked() } }
    CheckBox { id: check; checked: true; onToggled: stage.changed() }
    DropSlider { id: spin; width: 64; from: 100; to: 16000; stepSize: 100; onMoved: stage.changed() }
}
