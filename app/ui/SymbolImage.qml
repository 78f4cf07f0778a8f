import QtQuick
import Zorvane.Ui

// A symbol by its name, drawn from the symbol font. The font has one weight: light and
// regular draw alike, heavier weights are emboldened.
Text {
    id: symbol

    property string name
    property real pointSize: Theme.bodySize
    property int weight: Font.Normal

    text: Symbols.glyph(name)
    font.family: Symbols.fontFamily
    font.pixelSize: Math.max(1, Math.round(pointSize))
    font.bold: weight >= Font.DemiBold
    color: Theme.label
    horizontalAlignment: Text.AlignHCenter
    verticalAlignment: Text.AlignVCenter
    renderType: Text.QtRendering
    Accessible.ignored: true
}
