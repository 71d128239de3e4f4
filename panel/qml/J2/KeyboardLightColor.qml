// The keyboard's eight colour stages: pick a stage, then its colour.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    id: stages
    property int stage: 0
    spacing: 4
    Row {
        spacing: 2
        Repeater {
            model: 8
            Button { text: index + 1; implicitWidth: 28; highlighted: index === stages.stage; onClicked: stages.stage = index }
        }
    }
    ColorControl { objectName: "keyboardStageColour"; onChanged: ui_View.keyboardSetRGBColor(stages.stage, r, g, b) }
}
