import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// The main window's content.
Rectangle {
    id: root

    required property var store

    implicitWidth: 760
    implicitHeight: 650
    color: Theme.windowBackground

    ProtectionStatus { id: protection; store: root.store }
    ApplicationListModel { id: applications; store: root.store }

    Column {
        anchors.fill: parent
        anchors.margins: 28
        spacing: 22
        Text {
            objectName: "statusText"
            text: protection.text
            font: Theme.subheadline
            color: Theme.label
        }
        Repeater {
            model: applications
            delegate: BlockedAppRow {
                required property var entry
                width: parent ? parent.width : 0
                store: root.store
                application: entry
            }
        }
    }
}
