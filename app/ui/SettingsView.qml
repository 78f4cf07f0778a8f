import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// The settings window's content.
Pane {
    id: root

    required property var store

    implicitWidth: 460
    implicitHeight: 600

    ViewSupport { id: support }

    Column {
        spacing: 12
        Label { text: "Protection"; font: Theme.headline }
        Label { text: "Current version " + support.versionText; font: Theme.body }
    }
}
