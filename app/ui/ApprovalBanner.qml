import QtQuick
import QtQuick.Layouts
import Zorvane.Ui

// The filter waits for the user's approval: the steps, and the two ways on.
Banner {
    id: root
    objectName: "approvalBanner"

    property var store
    property ViewSupport support

    tone: Theme.blue
    fillOpacity: 0.08
    strokeOpacity: 0.25
    padding: 18

    RowLayout {
        width: parent.width
        spacing: 14
        SymbolImage {
            Layout.alignment: Qt.AlignTop
            name: "gear.badge"
            pointSize: 25
            color: Theme.blue
        }
        ColumnLayout {
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignTop
            spacing: 8
            Text {
                text: "Finish enabling protection"
                font: Theme.headline
                color: Theme.label
            }
            Text {
                Layout.fillWidth: true
                text: "macOS is waiting for you to approve Zorvane."
                font: Theme.subheadline
                color: Theme.label
                wrapMode: Text.Wrap
            }
            ColumnLayout {
                spacing: 5
                Repeater {
                    model: [
                        "1. Open System Settings.",
                        "2. Scroll to Extensions and choose By Category.",
                        "3. If Network Extensions is listed, open it and enable Zorvane.",
                        "4. If it is not listed yet, return here and retry activation."
                    ]
                    Text {
                        required property string modelData
                        text: modelData
                        font: Theme.caption
                        color: Theme.label
                    }
                }
            }
            RowLayout {
                spacing: 8
                PushButton {
                    objectName: "openSystemSettingsButton"
                    text: "Open System Settings"
                    onClicked: root.support.openLoginItemsSettings()
                }
                PushButton {
                    objectName: "retryActivationButton"
                    text: "Retry Activation"
                    onClicked: root.store.handleBecameActive()
                }
            }
        }
    }
}
