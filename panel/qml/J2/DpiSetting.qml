// Eight DPI stages, the current one marked; every change is sent whole.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

Row {
    id: setting
    property int current: 0
    property alias stages: repeater
    signal changed()
    spacing: 4
    Repeater {
        id: repeater
        model: 8
        DpiControl {
            objectName: "dpiStage" + index
            number: index + 1
            value: 800 * (index + 1)
            current: index === setting.current
            onChanged: setting.changed()
            onPicked: { setting.current = index; setting.changed() }
        }
    }
    function selectList() { var l = []; for (var i = 0; i < 8; ++i) l.push(repeater.itemAt(i).selected); return l }
    function valueList() { var l = []; for (var i = 0; i < 8; ++i) l.push(repeater.itemAt(i).value); return l }
}
