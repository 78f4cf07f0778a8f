import QtQuick
import QtQuick.Layouts
import Zorvane.Ui

// The blocked apps' section title, and the empty state when there are none.
Item {
    id: root

    property var store
    readonly property int applicationCount: store ? store.applicationCount : 0

    height: applicationsTitle.implicitHeight + 22 + (applicationCount > 0 ? 12 : 0)

    ColumnLayout {
        id: applicationsTitle
        x: 28
        y: 22
        width: parent.width - 56
        spacing: 12

        SectionTitle {
            Layout.fillWidth: true
            title: "Blocked apps"
            count: root.applicationCount
            countName: "applicationCount"
        }
        Rectangle {
            objectName: "applicationsEmptyState"
            visible: root.applicationCount === 0
            Layout.fillWidth: true
            Layout.minimumHeight: 170
            implicitHeight: emptyApplications.implicitHeight
            radius: 16
            color: Theme.quaternary
            ColumnLayout {
                id: emptyApplications
                anchors.centerIn: parent
                spacing: 10
                SymbolImage {
                    Layout.alignment: Qt.AlignHCenter
                    name: "checkmark.shield"
                    pointSize: 30
                    weight: Font.Light
                    color: Theme.label
                }
                Text {
                    Layout.alignment: Qt.AlignHCenter
                    text: "No blocked apps"
                    font: Theme.headline
                    color: Theme.label
                }
                Text {
                    Layout.alignment: Qt.AlignHCenter
                    text: "Apps you add will appear here."
                    font: Theme.subheadline
                    color: Theme.secondary
                }
            }
        }
    }
}
