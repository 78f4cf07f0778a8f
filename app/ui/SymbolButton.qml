import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// A button that is only a symbol, in the secondary colour, named by its tooltip.
AbstractButton {
    id: symbolButton

    property string symbol
    property real symbolSize: 13
    property int symbolWeight: Font.Normal
    property string toolTip

    hoverEnabled: true
    padding: 0
    contentItem: SymbolImage {
        name: symbolButton.symbol
        pointSize: symbolButton.symbolSize
        weight: symbolButton.symbolWeight
        color: Theme.secondary
        opacity: symbolButton.down ? 0.6 : 1
    }
    background: Item {}
    Accessible.name: toolTip
    ToolTip.text: toolTip
    ToolTip.visible: hovered && toolTip !== ""
    ToolTip.delay: 600
}
