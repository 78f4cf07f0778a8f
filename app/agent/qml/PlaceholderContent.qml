import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A plain view of the block list and the store's alert, for as long as the main view is not
// in place.
Pane {
    id: placeholder

    required property QtObject store

    ColumnLayout {
        anchors.fill: parent

        Label {
            text: "Blocked Applications"
            font.bold: true
        }
        Label {
            visible: placeholder.store && placeholder.store.applicationCount === 0
            text: "Drop an application here to block its network connections."
        }
        ListView {
            objectName: "applicationList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: placeholder.store ? placeholder.store.applications : []
            delegate: Label {
                required property var modelData
                text: modelData.name + "  (" + modelData.bundleIdentifier + ")"
            }
        }
    }

    Dialog {
        id: alert
        title: "Zorvane"
        anchors.centerIn: parent
        modal: true
        standardButtons: Dialog.Ok

        Label {
            text: placeholder.store ? placeholder.store.alertMessage : ""
            wrapMode: Text.WordWrap
        }

        onClosed: {
            if (placeholder.store)
                placeholder.store.alertMessage = ""
        }
    }

    Connections {
        target: placeholder.store
        function onAlertMessageChanged() {
            if (placeholder.store.alertMessage !== "")
                alert.open()
        }
    }
}
