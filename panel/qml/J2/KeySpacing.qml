// The gap between key groups of the keyboard drawing.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Item {
    property int units: 1
    width: units * 8
    height: 26
}
