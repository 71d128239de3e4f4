// An on/off choice with its text.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

T.Switch {
    id: box
    implicitHeight: 28
    contentItem: Text { leftPadding: box.indicator.width + 6; text: box.text; color: "#e1e1e1"; font.pixelSize: 13
                        verticalAlignment: Text.AlignVCenter }
    indicator: Rectangle {
        y: (box.height - height) / 2
        width: 38; height: 18; radius: 9
        color: box.checked ? "#e65a28" : "#55575e"
        Rectangle { x: box.checked ? parent.width - width - 2 : 2; y: 2; width: 14; height: 14; radius: 7; color: "#f0f0f0" }
    }
}
