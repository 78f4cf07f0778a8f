import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// A text button of the views, in the header's shape: a capsule. The prominent one is filled
// with the accent colour; the others sit on a quiet fill with a hairline.
Button {
    id: pushButton

    property bool prominent: false

    font: Theme.body
    hoverEnabled: true
    leftPadding: 14
    rightPadding: 14
    topPadding: 6
    bottomPadding: 6
    opacity: enabled ? 1 : 0.5
    contentItem: Text {
        text: pushButton.text
        font: pushButton.font
        color: pushButton.prominent ? Theme.textOnAccent : Theme.label
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
    background: Rectangle {
        implicitHeight: 30
        radius: height / 2
        color: pushButton.prominent
               ? (pushButton.down ? Qt.darker(Theme.accent, 1.15)
                                  : pushButton.hovered ? Qt.lighter(Theme.accent, 1.08) : Theme.accent)
               : (pushButton.down ? Theme.withAlpha(Theme.label, 0.16)
                                  : pushButton.hovered ? Theme.withAlpha(Theme.label, 0.11) : Theme.quaternary)
        border.width: pushButton.prominent ? 0 : 1
        border.color: Theme.separator
        // The keyboard focus ring, in the accent colour around the capsule.
        Rectangle {
            visible: pushButton.visualFocus
            anchors.fill: parent
            anchors.margins: -3
            radius: height / 2
            color: "transparent"
            border.width: 2
            border.color: Theme.withAlpha(Theme.accent, 0.6)
        }
    }
}
