import QtQuick
import Zorvane.Ui

// A symbol by its name, drawn from the symbol font in a square of its size. The font has one
// weight: light and regular draw alike, heavier weights are emboldened.
Item {
    id: symbol

    property string name
    property real pointSize: Theme.bodySize
    property int weight: Font.Normal
    property color color: Theme.label

    implicitWidth: glyph.font.pixelSize
    implicitHeight: glyph.font.pixelSize
    Accessible.ignored: true

    Text {
        id: glyph
        anchors.centerIn: parent
        text: Symbols.glyph(symbol.name)
        font.family: Symbols.fontFamily
        font.pixelSize: Math.max(1, Math.round(symbol.pointSize))
        font.bold: symbol.weight >= Font.DemiBold
        color: symbol.color
        renderType: Text.QtRendering
    }
}
