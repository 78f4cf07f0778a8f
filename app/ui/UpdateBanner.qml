import QtQuick
import QtQuick.Layouts
import Zorvane.Ui

// A newer version is out: its version and notes, the download, and "remind me next time".
Banner {
    id: root
    objectName: "updateBanner"

    property var updateController
    readonly property bool isShown: updateController !== null && updateController !== undefined
                                    && updateController.availableUpdate.version !== undefined
                                    && updateController.isBannerVisible

    visible: isShown
    tone: Theme.blue
    fillOpacity: 0.08
    strokeOpacity: 0.25
    padding: 16

    RowLayout {
        width: parent.width
        spacing: 14
        SymbolImage {
            name: "arrow.down.circle.fill"
            pointSize: 25
            color: Theme.blue
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 3
            Text {
                objectName: "updateTitle"
                Layout.fillWidth: true
                text: root.isShown
                      ? "Zorvane " + root.updateController.availableUpdate.version + " is available"
                      : ""
                font: Theme.headline
                color: Theme.label
                elide: Text.ElideRight
            }
            Text {
                objectName: "updateNotes"
                Layout.fillWidth: true
                readonly property string notes: root.isShown
                    && root.updateController.availableUpdate.releaseNotes !== undefined
                    ? root.updateController.availableUpdate.releaseNotes : ""
                text: notes !== "" ? notes : "A new version is ready to download."
                font: Theme.subheadline
                color: Theme.secondary
                wrapMode: Text.Wrap
                maximumLineCount: 2
                elide: Text.ElideRight
            }
        }
        PushButton {
            objectName: "downloadUpdateButton"
            text: "Download Update"
            prominent: true
            onClicked: root.updateController.openDownload()
        }
        SymbolButton {
            objectName: "closeUpdateBannerButton"
            symbol: "xmark"
            symbolSize: 11
            symbolWeight: Font.Bold
            toolTip: "Remind me next time"
            implicitWidth: 22
            implicitHeight: 22
            onClicked: root.updateController.isBannerVisible = false
        }
    }
}
