// The system mouse settings: pointer speed, double-click speed and scroll lines.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Column {
    property string speedText: "Pointer speed"
    property string doubleText: "Double-click"
    property string scrollText: "Scroll lines"
    spacing: 4
    MouseRate { objectName: "cursorSpeed"; label: parent.speedText; onMoved: ui_View.mouseSetCursorSpeed(Math.round(value)) }
    DoubleRate { objectName: "doubleClick"; label: parent.doubleText; onMoved: ui_View.mouseSetDoubleClickSpeed(Math.round(value)) }
    ScrollRate { objectName: "scrollLines"; label: parent.scrollText; onMoved: ui_View.mouseSetVerticalScrollLines(Math.round(value)) }
}
