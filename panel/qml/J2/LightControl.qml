// A light: effect, brightness (0-218), speed (0-218), colourful, direction and colour.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    id: light
    property var env: null
    function text(i, fallback) { return env ? env.t("light", i, fallback) : fallback }
    property var effects: [text(5, "Off"), text(6, "Static"), text(7, "Breathing"), text(8, "Wave"), text(9, "Cycle"),
                           text(10, "Reactive"), text(11, "Ripple"), text(12, "Flash")]
    property string brightnessText: text(1, "Brightness")
    property string speedText: text(2, "Speed")
    property string colourfulText: text(3, "Colourful")
    property string directionText: text(4, "Reverse")
    property alias effect: effectList.currentIndex
    property alias brightness: brightness.value
    property alias speed: speed.value
    property alias colourful: colourful.checked
    property alias direction: direction.checked
    property alias colour: colour
    signal changed()
    spacing: 4
    DropList { id: effectList; objectName: light.objectName + "Effect"; model: light.effects; currentIndex: 1; onActivated: light.changed() }
    SliderButton { id: brightness; objectName: light.objectName + "Brightness"; label: light.brightnessText; from: 0; to: 218; value: 218; onMoved: light.changed() }
    SliderButton { id: speed; objectName: light.objectName + "Speed"; label: light.speedText; from: 0; to: 218; value: 109; onMoved: light.changed() }
    Row {
        spacing: 12
        CheckBox { id: colourful; text: light.colourfulText; onToggled: light.changed() }
        CheckBox { id: direction; text: light.directionText; onToggled: light.changed() }
    }
    ColorControl { id: colour; onChanged: light.changed() }
}
