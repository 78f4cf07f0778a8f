import QtQuick
import Zorvane.Ui

// One blocked application: icon, name and bundle identifier.
Item {
    id: root

    required property var store
    // The application's entry of ApplicationListModel (its "entry" role).
    required property var application

    implicitWidth: 400
    implicitHeight: 62

    Column {
        anchors.left: parent.left
        anchors.leftMargin: 16
        anchors.verticalCenter: parent.verticalCenter
        spacing: 3
        Text {
            text: root.application ? root.application.name : ""
            font.pixelSize: Theme.bodySize
            font.weight: Font.Medium
            color: Theme.label
        }
        Text {
            text: root.application ? root.application.bundleIdentifier : ""
            font: Theme.caption
            color: Theme.secondary
        }
    }
}
