import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// One item of a ThemedMenu: the accent colour under the pointer, red text for an action that
// takes something away, dimmed while it cannot be chosen.
MenuItem {
    id: item

    property bool destructive: false

    font: Theme.body
    leftPadding: 12
    rightPadding: 12
    topPadding: 6
    bottomPadding: 6
    hoverEnabled: true
    contentItem: Text {
        text: item.text
        font: item.font
        color: item.highlighted && item.enabled ? Theme.textOnAccent
             : item.destructive ? Theme.red : Theme.label
        opacity: item.enabled ? 1 : 0.45
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
    background: Rectangle {
        implicitWidth: 190
        implicitHeight: 30
        radius: 6
        color: item.highlighted && item.enabled ? Theme.accent : "transparent"
    }
}
