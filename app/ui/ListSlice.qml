import QtQuick
import Zorvane.Ui

// A list container's outline, drawn per row: each row shows the part of the one rounded
// rectangle that lies behind it, so that the list can stay a virtualised view.
Item {
    id: slice

    property bool isFirst: true
    property bool isLast: true
    property real cornerRadius: 16

    clip: true

    Rectangle {
        x: 0
        width: parent.width
        y: slice.isFirst ? 0 : -slice.cornerRadius - 1
        height: parent.height + (slice.isFirst ? 0 : slice.cornerRadius + 1)
                + (slice.isLast ? 0 : slice.cornerRadius + 1)
        radius: slice.cornerRadius
        color: Theme.windowBackground
        border.width: 1
        border.color: Theme.withAlpha(Theme.separator, 0.35)
    }
}
