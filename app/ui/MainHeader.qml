import QtQuick
import QtQuick.Layouts
import Zorvane.Ui

// The main window's header: the product's icon and name, the help button and the protection
// capsule.
Rectangle {
    id: root

    property var store
    property ProtectionStatus protection
    property ViewSupport support

    signal helpRequested()

    implicitHeight: header.implicitHeight + 24 + 18
    color: Theme.material

    RowLayout {
        id: header
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.leftMargin: 28
        anchors.rightMargin: 28
        anchors.topMargin: 24
        spacing: 13

        Image {
            objectName: "ownIcon"
            source: root.support ? root.support.ownIconSource : ""
            sourceSize: Qt.size(92, 92)
            Layout.preferredWidth: 46
            Layout.preferredHeight: 46
            smooth: true
            mipmap: true
        }
        ColumnLayout {
            spacing: 2
            Text {
                text: "Zorvane"
                font.family: Theme.fontFamily
                font.pixelSize: Theme.title2Size
                font.bold: true
                color: Theme.label
            }
            Text {
                text: "Control which apps can access the network"
                font: Theme.subheadline
                color: Theme.secondary
            }
        }
        Item { Layout.fillWidth: true }
        SymbolButton {
            objectName: "helpButton"
            symbol: "questionmark.circle"
            symbolSize: 16
            symbolWeight: Font.Medium
            toolTip: "Show getting started"
            implicitWidth: 28
            implicitHeight: 28
            onClicked: root.helpRequested()
        }
        ProtectionCapsule {
            store: root.store
            protection: root.protection
        }
    }
}
