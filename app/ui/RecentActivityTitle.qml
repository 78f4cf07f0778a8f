import QtQuick
import QtQuick.Layouts
import Zorvane.Ui

// The recent activity's section title, and the empty state when nothing was blocked yet; the
// rows themselves are the main list's.
ColumnLayout {
    id: root

    property int count: 0

    spacing: 12

    SectionTitle {
        Layout.fillWidth: true
        title: "Recent activity"
        caption: Texts.text("activity.storedLocally")
        count: root.count
        countName: "activityCount"
        baselineAligned: true
    }

    Rectangle {
        objectName: "activityEmptyState"
        visible: root.count === 0
        Layout.fillWidth: true
        implicitHeight: emptyActivity.implicitHeight + 32
        radius: 14
        color: Theme.quaternary
        RowLayout {
            id: emptyActivity
            anchors.fill: parent
            anchors.margins: 16
            spacing: 12
            SymbolImage {
                name: "waveform.path.ecg.rectangle"
                pointSize: 22
                weight: Font.Light
                color: Theme.label
            }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 2
                Text {
                    Layout.fillWidth: true
                    text: "No blocked connections yet"
                    font: Theme.subheadline
                    color: Theme.label
                }
                Text {
                    Layout.fillWidth: true
                    text: "New attempts will appear here while protection is on."
                    font: Theme.caption
                    color: Theme.secondary
                }
            }
        }
    }
}
