import QtQuick
import Zorvane.Ui

// A blocked application's row in the main list, inside its part of the list's rounded outline;
// one point between rows, as the stack spaces them.
Item {
    id: applicationRow
    objectName: "applicationRow"

    property var store
    // One entry of ApplicationListModel.
    property var entry: ({})
    property bool isFirst: true
    property bool isLast: true
    // The list's memory of expanded rows (BlockedAppRow.expansion).
    property var expansion: null

    height: row.implicitHeight + (applicationDivider.visible ? 1 : 0) + (isLast ? 0 : 1)

    ListSlice {
        x: 28
        width: parent.width - 56
        height: parent.height
        isFirst: applicationRow.isFirst
        isLast: applicationRow.isLast
        cornerRadius: 16
    }
    BlockedAppRow {
        id: row
        x: 29
        width: parent.width - 58
        store: applicationRow.store
        application: applicationRow.entry
        expansion: applicationRow.expansion
    }
    Rectangle {
        id: applicationDivider
        objectName: "applicationDivider"
        visible: !applicationRow.isLast
        x: 28 + 62
        y: row.height
        width: parent.width - 56 - 62
        height: 1
        color: Theme.separator
    }
}
