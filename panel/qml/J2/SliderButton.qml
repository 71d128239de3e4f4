// A slider with a step button at each end and its value beside it; a drag stops on whole steps.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Row {
    id: row
    property alias from: slider.from
    property alias to: slider.to
    property alias value: slider.value
    property alias stepSize: slider.stepSize
    property string label: ""
    property int sliderWidth: 160
    property int labelWidth: 90
    signal moved()
    spacing: 4
    Text { width: row.label === "" ? 0 : row.labelWidth; text: row.label; color: "#e1e1e1"; font.pixelSize: 13; anchors.verticalCenter: parent.verticalCenter }
    Button { objectName: row.objectName + "Minus"; text: "-"; implicitWidth: 26; onClicked: { slider.decrease(); row.moved() } }
    // The filled part from the left end to the handle is the level, so it is the bright one.
    T.Slider { id: slider; width: row.sliderWidth; stepSize: 1; snapMode: T.Slider.SnapAlways; onMoved: row.moved()
               palette.dark: "#e65a28"; palette.midlight: "#55575e" }
    Button { objectName: row.objectName + "Plus"; text: "+"; implicitWidth: 26; onClicked: { slider.increase(); row.moved() } }
    Text { width: 36; text: Math.round(slider.value); color: "#9a9ca3"; font.pixelSize: 12; anchors.verticalCenter: parent.verticalCenter }
}
