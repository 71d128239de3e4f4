// The mouse report rate: 1000, 500, 250 or 125 reports a second (index 0-3).
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Row {
    id: rate
    property int current: 0
    signal chosen(int index)
    spacing: 4
    Repeater {
        model: ["1000", "500", "250", "125"]
        Button { text: modelData + " Hz"; highlighted: index === rate.current; onClicked: { rate.current = index; rate.chosen(index) } }
    }
}
