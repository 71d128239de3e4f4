// A text button of the device pages.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

T.Button {
    id: button
    property color tint: "#e65a28"
    implicitHeight: 28
    implicitWidth: Math.max(64, contentItem.implicitWidth + 20)
    contentItem: Text { text: button.text; color: button.enabled ? "#e1e1e1" : "#808080"; font.pixelSize: 13
                        horizontalAlignment: Text.AlignHCenter; verticalAlignment: Text.AlignVCenter }
    background: Rectangle { radius: 4; color: button.down ? Qt.darker(button.tint) : button.highlighted ? button.tint : "#44464c"
                            border.color: button.hovered ? button.tint : "#55575e" }
}
