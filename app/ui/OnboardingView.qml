import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// The getting-started guide. The presenter gives the two facts the pages depend on, fixed when
// the guide opens, and handles `finish`.
Pane {
    id: root

    property bool isInApplicationsFolder: true
    property bool isProtectionActive: false

    signal finish()

    implicitWidth: 540
    implicitHeight: 440

    Column {
        anchors.centerIn: parent
        spacing: 10
        Label {
            anchors.horizontalCenter: parent.horizontalCenter
            text: "Welcome to Zorvane"
            font.pixelSize: Theme.titleSize
            font.bold: true
        }
        Button {
            anchors.horizontalCenter: parent.horizontalCenter
            text: "Get Started"
            onClicked: root.finish()
        }
    }
}
