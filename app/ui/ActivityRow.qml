import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// One entry of the recent blocked activity, inside its part of the list's rounded outline.
// Anchors rather than layouts: these rows are made and remade as the list scrolls.
Item {
    id: activitySlot
    objectName: "activityRow"

    // One entry of RecentActivityModel.
    property var entry: ({})
    property bool isFirst: true
    property bool isLast: true
    // "Now" for the relative time, moved on by the window.
    property date now
    // The window's ViewSupport, for the placeholder icon and the relative time.
    property ViewSupport support

    readonly property string destination: activityRow.destination

    height: activityRow.height

    ListSlice {
        x: 28
        width: parent.width - 56
        height: parent.height
        isFirst: activitySlot.isFirst
        isLast: activitySlot.isLast
        cornerRadius: 14
    }

    Item {
        id: activityRow
        x: 29
        width: parent.width - 58
        readonly property string processName: activitySlot.entry.processName ?? ""
        readonly property string destination: activitySlot.entry.destination ?? ""
        readonly property var blockedConnectionCount: activitySlot.entry.blockedConnectionCount ?? 0
        readonly property date lastSeenAt: activitySlot.entry.lastSeenAt ?? new Date(0)
        readonly property bool hasApplication: activitySlot.entry.hasApplication ?? false
        readonly property string applicationName: activitySlot.entry.applicationName ?? ""
        readonly property string iconSource: activitySlot.entry.iconSource ?? ""
        readonly property bool isLast: activitySlot.isLast

        implicitHeight: Math.max(hasApplication ? 32 : 0,
                                 hasApplication ? activityText.implicitHeight : 0,
                                 activityCount.implicitHeight) + 20
                        + (activityDivider.visible ? 1 : 0)
        height: implicitHeight

        // The content's vertical centre, above the divider.
        readonly property real middle:
            (height - (activityDivider.visible ? 1 : 0)) / 2

        Image {
            id: activityIcon
            visible: activityRow.hasApplication
            x: 14
            y: Math.round(activityRow.middle - height / 2)
            width: 32
            height: 32
            source: activityRow.iconSource !== ""
                    ? activityRow.iconSource
                    : (activitySlot.support ? activitySlot.support.placeholderIconSource : "")
            sourceSize: Qt.size(64, 64)
            asynchronous: true
        }

        Item {
            id: activityText
            visible: activityRow.hasApplication
            x: activityIcon.x + activityIcon.width + 8
            y: Math.round(activityRow.middle - height / 2)
            width: Math.max(0, activityCount.x - 12 - x)
            implicitHeight: applicationNameText.height + 3 + destinationText.height
            height: implicitHeight

            Text {
                id: applicationNameText
                width: Math.min(implicitWidth, parent.width)
                text: activityRow.applicationName
                font.family: Theme.fontFamily
                font.pixelSize: Theme.subheadlineSize
                font.weight: Font.Medium
                color: Theme.label
                elide: Text.ElideRight
                maximumLineCount: 1
            }
            Text {
                x: applicationNameText.width + 7
                width: Math.max(0, parent.width - x)
                anchors.baseline: applicationNameText.baseline
                text: activityRow.processName
                font: Theme.caption
                color: Theme.secondary
                elide: Text.ElideRight
                maximumLineCount: 1
            }
            TextInput {
                id: destinationText
                y: applicationNameText.height + 3
                width: parent.width
                text: activityRow.destination
                readOnly: true
                selectByMouse: true
                font.family: Theme.monospacedFamily
                font.pixelSize: Theme.captionSize
                color: Theme.label
                selectionColor: Theme.accent
                clip: true
            }
        }

        Item {
            id: activityCount
            x: activityRow.width - 14 - width
            y: Math.round(activityRow.middle - height / 2)
            width: Math.max(countGlyph.width + 4 + countText.width, timeText.width)
            implicitHeight: countText.height + 3 + timeText.height
            height: implicitHeight

            Text {
                id: countText
                anchors.right: parent.right
                text: String(activityRow.blockedConnectionCount)
                font.family: Theme.fontFamily
                font.pixelSize: Theme.captionSize
                font.weight: Font.Medium
                color: Theme.redText
            }
            Text {
                id: countGlyph
                anchors.right: countText.left
                anchors.rightMargin: 4
                anchors.verticalCenter: countText.verticalCenter
                text: Symbols.glyph("hand.raised.fill")
                font.family: Symbols.fontFamily
                font.pixelSize: Theme.captionSize + 1
                color: Theme.redText
            }
            Text {
                id: timeText
                anchors.right: parent.right
                y: countText.height + 3
                text: activitySlot.support
                      ? activitySlot.support.relativeTime(activityRow.lastSeenAt, activitySlot.now) : ""
                font: Theme.caption2
                color: Theme.secondary
            }
        }

        Rectangle {
            id: activityDivider
            objectName: "activityDivider"
            visible: !activityRow.isLast
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.bottom: parent.bottom
            anchors.leftMargin: 50
            height: 1
            color: Theme.separator
        }
    }
}
