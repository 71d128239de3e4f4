// One line on what the last change could not do, under the controls that made it; hidden while empty.
import QtQuick 2.15

Text {
    width: 220
    visible: text !== ""
    color: "#e65a28"
    font.pixelSize: 12
    wrapMode: Text.WordWrap
}
