// The scene's language and its texts: one list per text type, read through the view from the
// language files. A text that is missing shows its built-in English form.
import QtQuick 2.15

QtObject {
    property string language: "en"
    property var texts: ({})
    readonly property var sections: ["main", "headset", "mouse", "keyboard", "light", "profile", "macro"]

    function load(code) {
        var all = {}
        for (var i = 0; i < sections.length; ++i)
            all[sections[i]] = ui_View.getLangStrings(sections[i], code)
        language = code
        texts = all
    }
    function t(section, index, fallback) {
        var list = texts[section]
        return list && index < list.length && list[index] !== "" ? list[index] : fallback
    }

    // The scene's colours.
    readonly property color window: "#2b2c30"
    readonly property color panel: "#34363b"
    readonly property color bar: "#1d1e21"
    readonly property color text: "#e1e1e1"
    readonly property color dim: "#9a9ca3"
    readonly property color accent: "#e65a28"
}
