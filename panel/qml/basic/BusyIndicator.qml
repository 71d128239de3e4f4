// A turning ring of dots while a device command is in flight.
import QtQuick 2.15

Item {
    id: busy
    property bool running: false
    property color color: "#e65a28"
    width: 64
    height: 64
    visible: running
    Repeater {
        model: 8
        Rectangle {
            width: 10
            height: 10
            radius: 5
            color: busy.color
            opacity: 0.25 + index / 10
            x: busy.width / 2 - 5 + Math.cos(index * Math.PI / 4) * 24
            y: busy.height / 2 - 5 + Math.sin(index * Math.PI / 4) * 24
        }
    }
    RotationAnimation on rotation {
        running: busy.running
        from: 0
        to: 360
        duration: 1200
        loops: Animation.Infinite
    }
}
