// A titled panel that groups the controls of one function.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Rectangle {
    id: frame
    property alias title: caption.text
    default property alias content: body.data
    width: 300
    height: caption.height + body.childrenRect.height + 24
    radius: 6
    color: "#34363b"
    border.color: "#45474d"
    Text { id: caption; x: 10; y: 6; color: "#e65a28"; font.pixelSize: 13; font.bold: true }
    Item { id: body; x: 10; y: caption.height + 12; width: frame.width - 20; height: childrenRect.height }
}
