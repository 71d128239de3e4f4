// One equaliser band: a vertical slider over -12..12 dB with its frequency below.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    id: band
    property alias value: slider.value
    property string label: ""
    signal moved()
    spacing: 2
    T.Slider { id: slider; orientation: Qt.Vertical; height: 110; width: 34; from: -12; to: 12; stepSize: 1; onMoved: band.moved() }
    Text { width: 34; horizontalAlignment: Text.AlignHCenter; text: band.label; color: "#9a9ca3"; font.pixelSize: 10 }
}
