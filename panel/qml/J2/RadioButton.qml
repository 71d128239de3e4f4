// One of a group of exclusive choices.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

T.RadioButton {
    id: radio
    implicitHeight: 26
    contentItem: Text { leftPadding: 24; text: radio.text; color: "#e1e1e1"; font.pixelSize: 13; verticalAlignment: Text.AlignVCenter }
    indicator: Rectangle {
        y: (radio.height - height) / 2
        width: 16; height: 16; radius: 8; border.color: "#9a9ca3"; color: "transparent"
        Rectangle { anchors.centerIn: parent; width: 8; height: 8; radius: 4; color: "#e65a28"; visible: radio.checked }
    }
}
