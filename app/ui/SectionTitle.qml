import QtQuick
import QtQuick.Layouts
import Zorvane.Ui

// A section's title line: the title, an optional caption after it, and the count badge at the
// trailing end.
RowLayout {
    id: sectionTitle

    property string title
    property string caption
    property int count
    // The count badge's object name, for whoever looks the count up.
    property string countName
    property bool baselineAligned: false

    spacing: 8

    Text {
        text: sectionTitle.title
        font: Theme.headline
        color: Theme.label
        Layout.alignment: sectionTitle.baselineAligned ? Qt.AlignBaseline : Qt.AlignVCenter
    }
    Text {
        visible: sectionTitle.caption !== ""
        text: sectionTitle.caption
        font: Theme.caption
        color: Theme.secondary
        Layout.alignment: sectionTitle.baselineAligned ? Qt.AlignBaseline : Qt.AlignVCenter
    }
    Item { Layout.fillWidth: true }
    Rectangle {
        implicitWidth: countText.implicitWidth + 18
        implicitHeight: countText.implicitHeight + 8
        radius: height / 2
        color: Theme.quaternary
        Layout.alignment: Qt.AlignVCenter
        Text {
            id: countText
            objectName: sectionTitle.countName
            anchors.centerIn: parent
            text: String(sectionTitle.count)
            font.pixelSize: Theme.captionSize
            font.bold: true
            color: Theme.secondary
        }
    }
}
