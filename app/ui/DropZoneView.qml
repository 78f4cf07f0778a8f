import QtQuick
import QtQuick.Controls.Basic
import Qt.labs.platform as Platform
import Zorvane.Ui

// The target onto which the user drops an application from the file manager, or chooses one
// with the file dialog that opens on the desktop's applications folders. The zone hands the
// first dropped or chosen file to the store and shows the store's progress; whether the file is
// an application is the inspection's call, which reports through the store's alert.
Item {
    id: root

    required property var store

    // How long the highlight and the progress state take to change; the tests make it 0.
    property int animationDuration: 160

    readonly property bool isAdding: store ? store.isAddingApplication : false
    readonly property bool isTargeted: store ? store.isDropTargeted : false

    implicitWidth: 400
    implicitHeight: Math.max(165, content.implicitHeight + 40)

    Accessible.role: Accessible.Grouping
    Accessible.name: isAdding ? "Adding application" : "Drop zone for an application"

    // Only local files can be inspected; any other address is as good as no payload.
    function fileUrls(urls) {
        const files = []
        for (let index = 0; index < urls.length; ++index) {
            if (String(urls[index]).startsWith("file:"))
                files.push(urls[index])
        }
        return files
    }

    function setTargeted(over) {
        if (store)
            store.isDropTargeted = over && !store.isAddingApplication
    }

    Connections {
        target: root.store
        // An inspection that starts under a hovering drag takes the highlight away.
        function onIsAddingApplicationChanged() {
            if (root.store.isAddingApplication)
                root.store.isDropTargeted = false
        }
    }

    Platform.FileDialog {
        id: chooser
        objectName: "applicationChooser"
        title: "Choose an App"
        folder: root.store && root.store.applicationFolders.length > 0
            ? root.store.applicationFolders[0] : ""
        nameFilters: root.store ? root.store.applicationNameFilters : []
        onAccepted: {
            if (root.store && !root.store.isAddingApplication)
                root.store.addApplication(file)
        }
    }

    DropArea {
        id: dropArea
        objectName: "dropArea"
        anchors.fill: parent

        onEntered: (drag) => {
            if (root.fileUrls(drag.urls).length === 0) {
                drag.accepted = false
                return
            }
            root.setTargeted(true)
        }
        onPositionChanged: root.setTargeted(containsDrag)
        onExited: root.setTargeted(false)
        onDropped: (drop) => {
            root.setTargeted(false)
            const files = root.fileUrls(drop.urls)
            if (!root.store || root.store.isAddingApplication || files.length === 0) {
                drop.accepted = false
                return
            }
            root.store.addApplication(files[0])
            drop.acceptProposedAction()
        }
    }

    // Grown by 1 % while a drag hovers rather than scaled: a scaled plate would be the drawing
    // at its old size stretched, with seams where the stretched outline meets the fill.
    Item {
        id: plate
        objectName: "dropZonePlate"
        property real growth: root.isTargeted ? 0.005 : 0
        Behavior on growth { NumberAnimation { duration: root.animationDuration; easing.type: Easing.OutQuad } }
        x: -Math.round(root.width * growth * 100) / 100
        y: -Math.round(root.height * growth * 100) / 100
        width: root.width - 2 * x
        height: root.height - 2 * y

        // The fill and the dashed outline are one rounded path drawn at the plate's own size,
        // so that the outline lies exactly on the fill's edge at every size and scale.
        Canvas {
            id: fill
            objectName: "dropZoneFill"
            anchors.fill: parent
            readonly property color fillColor: root.isTargeted ? Theme.blue : Theme.withAlpha(Theme.blue, 0.06)
            readonly property color strokeColor: root.isTargeted
                ? Qt.rgba(1, 1, 1, 0.65) : Theme.withAlpha(Theme.blue, 0.45)
            onFillColorChanged: requestPaint()
            onStrokeColorChanged: requestPaint()
            onWidthChanged: requestPaint()
            onHeightChanged: requestPaint()
            onPaint: {
                const context = getContext("2d")
                context.reset()
                const lineWidth = 1.5
                const inset = lineWidth / 2
                context.beginPath()
                context.roundedRect(0, 0, width, height, 20, 20)
                context.fillStyle = fillColor
                context.fill()
                context.lineWidth = lineWidth
                context.miterLimit = 10
                context.setLineDash([8 / lineWidth, 6 / lineWidth])
                context.strokeStyle = strokeColor
                context.beginPath()
                context.roundedRect(inset, inset, width - lineWidth, height - lineWidth,
                                    20 - inset, 20 - inset)
                context.stroke()
            }
        }

        Column {
            id: content
            anchors.centerIn: parent
            width: parent.width - 40
            spacing: 13

            Item {
                anchors.horizontalCenter: parent.horizontalCenter
                width: 44
                height: 44

                BusyIndicator {
                    objectName: "progress"
                    anchors.centerIn: parent
                    width: 40
                    height: 40
                    visible: root.isAdding
                    running: root.isAdding
                    palette.dark: Theme.blue
                }
                SymbolImage {
                    objectName: "dropSymbol"
                    anchors.centerIn: parent
                    visible: !root.isAdding
                    name: "app.dashed"
                    pointSize: 35
                    weight: Font.Light
                    color: root.isTargeted ? "white" : Theme.blue
                    Behavior on color { ColorAnimation { duration: root.animationDuration; easing.type: Easing.OutQuad } }
                }
            }

            Column {
                width: parent.width
                spacing: 5

                Text {
                    objectName: "dropTitle"
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: root.isAdding ? "Adding app…" : "Drop an app here"
                    font: Theme.headline
                    // White on the blue fill, with the symbol and the subtitle.
                    color: root.isTargeted ? "white" : Theme.label
                    wrapMode: Text.WordWrap
                }
                Text {
                    objectName: "dropSubtitle"
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: root.isAdding
                        ? "Discovering helpers and background processes without blocking the interface."
                        : Texts.text("dropZone.subtitle")
                    font: Theme.subheadline
                    color: root.isTargeted ? Qt.rgba(1, 1, 1, 0.85) : Theme.secondary
                    wrapMode: Text.WordWrap
                }
            }

            PushButton {
                objectName: "chooseApplicationButton"
                anchors.horizontalCenter: parent.horizontalCenter
                visible: !root.isAdding
                text: "Choose an App…"
                onClicked: chooser.open()
            }
        }
    }
}
