import QtQuick
import Zorvane.Ui

// One network process of an application.
Item {
    id: root

    // One map of ApplicationListModel's "components" role.
    required property var networkComponent

    implicitWidth: 300
    implicitHeight: 43

    Text {
        anchors.verticalCenter: parent.verticalCenter
        text: root.networkComponent ? root.networkComponent.name : ""
        font: Theme.caption
        color: Theme.label
    }
}
