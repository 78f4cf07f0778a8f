import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zorvane.Ui

// One network process of an application: its main executable, a helper it carries, or a
// process seen acting for it. The list around it gives every row the same height.
Item {
    id: root

    // One map of ApplicationListModel's "components" role.
    required property var networkComponent

    readonly property string kind: networkComponent ? networkComponent.kind : "main"
    readonly property string teamIdentifier: networkComponent ? networkComponent.teamIdentifier : ""
    readonly property string identityText: networkComponent
        ? networkComponent.signingIdentifier + (teamIdentifier.length > 0 ? " · Team " + teamIdentifier : "")
        : ""
    readonly property string toolTipText: !networkComponent ? ""
        : networkComponent.executablePath.length > 0 ? networkComponent.executablePath
        : networkComponent.signingIdentifier

    implicitWidth: 300
    implicitHeight: 43

    HoverHandler { id: hover }
    ToolTip.visible: hover.hovered && toolTipText.length > 0
    ToolTip.delay: 700
    ToolTip.text: toolTipText

    RowLayout {
        anchors.fill: parent
        anchors.topMargin: 7
        anchors.bottomMargin: 7
        spacing: 10

        SymbolImage {
            Layout.preferredWidth: 22
            name: root.kind === "main" ? "app" : "gearshape.2"
            pointSize: Theme.bodySize + 2
            color: Theme.secondary
        }

        Column {
            Layout.fillWidth: true
            spacing: 2
            Text {
                objectName: "componentName"
                width: parent.width
                text: root.networkComponent ? root.networkComponent.name : ""
                font.family: Theme.caption.family
                font.pixelSize: Theme.captionSize
                font.weight: Font.Medium
                color: Theme.label
                elide: Text.ElideRight
                maximumLineCount: 1
            }
            Text {
                objectName: "componentIdentity"
                width: parent.width
                text: root.identityText
                font: Theme.caption2
                color: Theme.secondary
                elide: Text.ElideMiddle
                maximumLineCount: 1
            }
        }

        Rectangle {
            objectName: "kindBadge"
            implicitWidth: kindText.implicitWidth + 14
            implicitHeight: kindText.implicitHeight + 6
            radius: height / 2
            color: Theme.quaternary
            Text {
                id: kindText
                objectName: "kindText"
                anchors.centerIn: parent
                text: root.networkComponent ? root.networkComponent.kindText : ""
                font.family: Theme.caption2.family
                font.pixelSize: Theme.caption2Size
                font.weight: Font.Medium
                color: root.kind === "observed" ? Theme.blue : Theme.secondary
            }
        }
    }
}
