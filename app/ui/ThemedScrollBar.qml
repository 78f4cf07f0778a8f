import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// A thin rounded scroll bar that is there only while the content is larger than its view:
// a full-height thumb over content that does not scroll says nothing.
ScrollBar {
    id: bar

    readonly property bool contentScrolls: size < 1.0

    policy: contentScrolls ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
    padding: 2
    contentItem: Rectangle {
        implicitWidth: 7
        implicitHeight: 7
        radius: width / 2
        color: Theme.withAlpha(Theme.label, bar.pressed ? 0.5 : bar.hovered ? 0.4 : 0.3)
    }
    background: Item {}
}
