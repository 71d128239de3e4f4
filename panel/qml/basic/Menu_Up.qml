// A menu that opens above its opener (near the bottom edge of the window).
import QtQuick 2.15

Menu_Down {
    y: -implicitHeight
}
