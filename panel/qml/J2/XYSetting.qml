// X and Y sensitivity of the current profile, 1-8 each (stored per axis).
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    id: xy
    property int profileToken: 0
    spacing: 4
    Repeater {
        model: ["X", "Y"]
        SliderButton {
            objectName: "xySensitivity" + index
            label: modelData
            from: 1
            to: 8
            value: { xy.profileToken; return Number(ui_View.getXYSensitive(index)) }
            onMoved: ui_View.setXYSensitive(index, Math.round(value))
        }
    }
}
