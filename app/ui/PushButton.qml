import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// A text button of the views; the prominent one is filled with the accent colour.
Button {
    id: pushButton

    property bool prominent: false

    font: Theme.body
    leftPadding: 12
    rightPadding: 12
    topPadding: 5
    bottomPadding: 5
    contentItem: Text {
        text: pushButton.text
        font: pushButton.font
        color: pushButton.prominent ? "white" : Theme.label
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: 6
        color: pushButton.prominent
               ? (pushButton.down ? Qt.darker(Theme.blue, 1.15) : Theme.blue)
               : (pushButton.down ? Theme.withAlpha(Theme.label, 0.16) : Theme.quaternary)
        border.width: pushButton.prominent ? 0 : 1
        border.color: Theme.separator
    }
}
