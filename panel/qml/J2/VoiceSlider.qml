// A slider over a list of steps: position i stands for steps[i].
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Row {
    id: row
    property var steps: [0]
    property string label: ""
    property alias position: slider.value
    readonly property int stepValue: steps[Math.round(slider.value)]
    signal moved()
    spacing: 6
    Text { width: 90; text: row.label; color: "#e1e1e1"; font.pixelSize: 13; anchors.verticalCenter: parent.verticalCenter }
    T.Slider { id: slider; width: 150; from: 0; to: row.steps.length - 1; stepSize: 1; snapMode: T.Slider.SnapAlways; onMoved: row.moved() }
    Text { text: Math.round(slider.value); color: "#9a9ca3"; anchors.verticalCenter: parent.verticalCenter }
}
