// The mouse picture with a mark on the key being set.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Item {
    id: mouse
    property url source
    property int chosen: 0
    width: 240
    height: 180
    Image { anchors.fill: parent; source: mouse.source; fillMode: Image.PreserveAspectFit }
    Rectangle {
        readonly property var spots: [[95, 40], [145, 40], [120, 30], [70, 100], [70, 80], [120, 60], [120, 75], [120, 120]]
        x: spots[Math.min(mouse.chosen, 7)][0] - 6
        y: spots[Math.min(mouse.chosen, 7)][1] - 6
        width: 12; height: 12; radius: 6; color: "#e65a28"; border.color: "white"
    }
}
