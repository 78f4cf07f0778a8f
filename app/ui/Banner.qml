import QtQuick
import QtQuick.Layouts
import Zorvane.Ui

// The frame every banner of the main window shares: full width, a rounded plate in the
// banner's colour at a low opacity, outlined in the same colour.
Rectangle {
    id: banner

    property color tone: Theme.blue
    property real fillOpacity: 0.08
    property real strokeOpacity: 0.25
    property real padding: 16
    default property alias content: body.data

    Layout.fillWidth: true
    implicitHeight: body.implicitHeight + 2 * padding
    radius: 16
    color: Theme.withAlpha(tone, fillOpacity)
    border.width: 1
    border.color: Theme.withAlpha(tone, strokeOpacity)

    Item {
        id: body
        anchors.fill: parent
        anchors.margins: banner.padding
        implicitHeight: childrenRect.height
    }
}
