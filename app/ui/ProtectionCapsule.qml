import QtQuick
import QtQuick.Layouts
import Zorvane.Ui

// The header's protection capsule: the status dot and text, and the switch that shows (and
// asks to change) the user's wish.
Rectangle {
    id: root

    property var store
    property ProtectionStatus protection

    implicitWidth: capsule.implicitWidth + 12 + 8
    implicitHeight: capsule.implicitHeight + 14
    radius: height / 2
    color: Theme.withAlpha(Theme.windowBackground, 0.65)

    RowLayout {
        id: capsule
        anchors.left: parent.left
        anchors.leftMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        spacing: 9

        Rectangle {
            objectName: "statusDot"
            implicitWidth: 8
            implicitHeight: 8
            radius: 4
            color: Theme.tone(root.protection.dotTone)
            readonly property string tone: root.protection.dotTone
        }
        Text {
            objectName: "statusText"
            text: root.protection.text
            font.family: Theme.fontFamily
            font.pixelSize: Theme.subheadlineSize
            font.weight: Font.Medium
            color: Theme.label
        }
        Item {
            implicitWidth: protectionSwitch.implicitWidth
            implicitHeight: protectionSwitch.implicitHeight

            ZorvaneSwitchToggleStyle {
                id: protectionSwitch
                objectName: "protectionSwitch"
                anchors.fill: parent
                isOn: root.protection.isRequested
                enabled: root.protection.isSwitchEnabled
                onSwitchRequested: (requested) => { root.store.isProtectionRequested = requested }
            }
            // While the copy runs outside the Applications folder, a tap on the disabled
            // switch explains why it is disabled.
            MouseArea {
                objectName: "explainTapTarget"
                anchors.fill: parent
                visible: root.protection.isInstallationRequired
                Accessible.role: Accessible.Button
                Accessible.name: "Explain why protection is unavailable"
                onClicked: root.store.explainProtectionUnavailable()
            }
        }
    }
}
