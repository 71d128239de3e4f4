// A drop-down list of texts.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

T.ComboBox {
    id: box
    implicitWidth: 150
    implicitHeight: 28
    contentItem: Text { leftPadding: 8; text: box.displayText; color: "#e1e1e1"; font.pixelSize: 13; verticalAlignment: Text.AlignVCenter; elide: Text.ElideRight }
    background: Rectangle { radius: 4; color: "#44464c"; border.color: box.activeFocus ? "#e65a28" : "#55575e" }
}
