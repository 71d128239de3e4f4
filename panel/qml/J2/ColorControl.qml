// A colour: eight swatches to pick from, and the red, green and blue levels.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    id: colour
    property int r: 255
    property int g: 0
    property int b: 0
    signal changed()
    spacing: 4
    Row {
        spacing: 3
        Repeater {
            model: ["#ff0000", "#00ff00", "#0000ff", "#ffff00", "#ff00ff", "#00ffff", "#ff8000", "#ffffff"]
            Rectangle {
                width: 20; height: 20; radius: 3; color: modelData; border.color: "#202020"
                MouseArea { anchors.fill: parent; onClicked: { var c = Qt.color(modelData); colour.r = Math.round(c.r * 255); colour.g = Math.round(c.g * 255); colour.b = Math.round(c.b * 255); colour.changed() } }
            }
        }
        Rectangle { width: 40; height: 20; radius: 3; color: Qt.rgba(colour.r / 255, colour.g / 255, colour.b / 255, 1); border.color: "#e1e1e1" }
    }
    SliderButton { label: "R"; from: 0; to: 255; value: colour.r; sliderWidth: 120; labelWidth: 16; onMoved: { colour.r = Math.round(value); colour.changed() } }
    SliderButton { label: "G"; from: 0; to: 255; value: colour.g; sliderWidth: 120; labelWidth: 16; onMoved: { colour.g = Math.round(value); colour.changed() } }
    SliderButton { label: "B"; from: 0; to: 255; value: colour.b; sliderWidth: 120; labelWidth: 16; onMoved: { colour.b = Math.round(value); colour.changed() } }
}
