// A scene without root functions: the view's calls find nothing to call.
import QtQuick 2.15

Rectangle {
    width: 100
    height: 80
}
