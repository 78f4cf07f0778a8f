import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// A menu in the views' own look: a rounded plate lifted off the window, items highlighted
// with the accent colour. Its items are ThemedMenuItems.
Menu {
    id: menu

    padding: 5
    topPadding: 5
    bottomPadding: 5
    delegate: ThemedMenuItem {}
    background: Rectangle {
        implicitWidth: 200
        radius: 10
        color: Theme.popupBackground
        border.width: 1
        border.color: Theme.popupBorder
    }
}
