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
                text: Texts.text("approval.message")
                font: Theme.subheadline
                color: Theme.label
                wrapMode: Text.Wrap
            }
            ColumnLayout {
                spacing: 5
                Repeater {
                    objectName: "approvalSteps"
                    model: [
                        Texts.text("approval.step1"),
                        Texts.text("approval.step2"),
                        Texts.text("approval.step3"),
                        Texts.text("approval.step4")
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
                    // On Linux an administrator approves with a command; no settings page helps.
                    visible: Qt.platform.os !== "linux"
                    text: Texts.text("approval.openSettings")
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
