import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zorvane.Ui

// The settings window's content: protection, the menu-bar icon and updates. Every control
// calls one store or update-controller operation; the store's alert is shown here too, so that
// a result reported while this window is in front is seen.
Pane {
    id: root

    required property var store

    readonly property var updates: store ? store.updateController : null
    readonly property bool hasAvailableUpdate: updates !== null
                                               && updates.availableUpdate.version !== undefined
    readonly property alias alert: alert

    implicitWidth: 460
    implicitHeight: 600
    padding: 0
    background: Rectangle { color: Theme.windowBackground }

    ViewSupport { id: support }
    ProtectionStatus { id: protection; store: root.store }

    component SectionHeader: Text {
        font: Theme.headline
        color: Theme.label
        topPadding: 4
    }

    component Caption: Text {
        Layout.fillWidth: true
        font: Theme.caption
        color: Theme.secondary
        wrapMode: Text.WordWrap
    }

    // A grouped section's rounded plate.
    component Group: Rectangle {
        default property alias content: groupColumn.data
        Layout.fillWidth: true
        implicitHeight: groupColumn.implicitHeight + 24
        radius: 10
        color: Theme.groupFill
        border.color: Theme.separator
        border.width: 1
        ColumnLayout {
            id: groupColumn
            anchors.fill: parent
            anchors.margins: 12
            spacing: 8
        }
    }

    component SettingSwitch: RowLayout {
        id: settingRow
        property alias text: label.text
        property alias control: toggle
        property bool tapExplains: false
        property string explanationName
        signal toggled(bool checked)
        signal explain()
        Layout.fillWidth: true
        spacing: 12
        Text {
            id: label
            Layout.fillWidth: true
            font: Theme.body
            color: Theme.label
        }
        Item {
            implicitWidth: toggle.implicitWidth
            implicitHeight: toggle.implicitHeight
            ZorvaneSwitchToggleStyle {
                id: toggle
                anchors.fill: parent
                accessibleName: label.text
                onSwitchRequested: (isOn) => settingRow.toggled(isOn)
            }
            // Lies over the switch, which ignores taps while it is disabled.
            MouseArea {
                objectName: "explanationTarget"
                anchors.fill: parent
                visible: settingRow.tapExplains
                Accessible.role: Accessible.Button
                Accessible.name: settingRow.explanationName
                onClicked: settingRow.explain()
            }
        }
    }

    component ValueRow: RowLayout {
        property alias title: titleText.text
        property alias value: valueText.text
        property alias valueObjectName: valueText.objectName
        Layout.fillWidth: true
        spacing: 12
        Text {
            id: titleText
            Layout.fillWidth: true
            font: Theme.body
            color: Theme.label
        }
        Text {
            id: valueText
            font: Theme.body
            color: Theme.secondary
        }
    }

    Flickable {
        anchors.fill: parent
        contentHeight: form.implicitHeight + 48
        boundsBehavior: Flickable.StopAtBounds
        clip: true
        ScrollBar.vertical: ThemedScrollBar {}

        ColumnLayout {
            id: form
            x: 24
            y: 24
            width: parent.width - 48
            spacing: 10

            // MARK: protection
            SectionHeader { text: "Protection" }
            Group {
                SettingSwitch {
                    id: protectionSwitch
                    objectName: "protectionSetting"
                    text: "Enable network filter"
                    // The store decides: the switch shows its wish, not the click.
                    control.isOn: protection.isRequested
                    control.enabled: protection.isSwitchEnabled
                    onToggled: (checked) => { root.store.isProtectionRequested = checked }
                    // The switch cannot be used from outside the Applications folder; tapping
                    // it says why.
                    tapExplains: protection.isInstallationRequired
                    explanationName: "Explain why protection is unavailable"
                    onExplain: root.store.explainProtectionUnavailable()
                }
                Caption { text: Texts.text("settings.approvalCaption") }
            }

            // MARK: menu bar
            SectionHeader { text: Texts.text("settings.statusItemSection") }
            Group {
                SettingSwitch {
                    id: statusBarSwitch
                    objectName: "statusBarSetting"
                    text: Texts.text("settings.statusItemSwitch")
                    control.isOn: root.store ? root.store.isStatusBarIconEnabled : false
                    onToggled: (checked) => { root.store.isStatusBarIconEnabled = checked }
                }
                Caption { text: "When enabled, the icon remains available after the main window is closed whenever at least one app is registered." }
            }

            // MARK: updates
            SectionHeader { text: "Updates" }
            Group {
                ValueRow {
                    title: "Current version"
                    value: support.versionText
                    valueObjectName: "currentVersion"
                }
                ValueRow {
                    visible: root.hasAvailableUpdate
                    title: "Available version"
                    value: root.hasAvailableUpdate ? root.updates.availableUpdate.version : ""
                    valueObjectName: "availableVersion"
                }
                RowLayout {
                    spacing: 8
                    PushButton {
                        objectName: "downloadUpdateButton"
                        prominent: true
                        visible: root.hasAvailableUpdate
                        text: "Download Update"
                        onClicked: root.updates.openDownload()
                    }
                    PushButton {
                        objectName: "checkForUpdatesButton"
                        text: "Check for Updates"
                        enabled: !(root.updates && root.updates.isChecking)
                        // Like a task on the main thread: the click returns first.
                        onClicked: Qt.callLater(() => root.store.checkForUpdatesFromMenu())
                    }
                }
                Caption {
                    objectName: "updateMessage"
                    visible: root.updates !== null && root.updates.message.length > 0
                    text: root.updates ? root.updates.message : ""
                }
            }
        }
    }

    ZorvaneAlert {
        id: alert
        parent: root
        anchors.centerIn: parent
        width: Math.min(380, root.width - 40)
        message: root.store ? root.store.alertMessage : ""
        // OK, Escape or any other way out clears the message.
        onDismissed: {
            if (root.store && root.store.alertMessage.length > 0)
                root.store.alertMessage = ""
        }
    }
}
