import QtQuick
import Zorvane.Ui

// The target onto which the user drops an application bundle.
Item {
    id: root

    required property var store

    implicitWidth: 400
    implicitHeight: 165

    Rectangle {
        anchors.fill: parent
        radius: 20
        color: Theme.withAlpha(Theme.blue, 0.06)
        border.color: Theme.withAlpha(Theme.blue, 0.45)
        border.width: 1.5
    }

    Column {
        anchors.centerIn: parent
        spacing: 5
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: root.store && root.store.isAddingApplication ? "Adding app…" : "Drop an app here"
            font: Theme.headline
            color: Theme.label
        }
    }
}
