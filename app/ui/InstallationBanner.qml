import QtQuick
import QtQuick.Layouts
import Zorvane.Ui

// This copy cannot turn protection on where it runs: what to do, and the two ways out.
Banner {
    id: root
    objectName: "installationBanner"

    property ViewSupport support

    tone: Theme.orange
    fillOpacity: 0.09
    strokeOpacity: 0.28
    padding: 18

    ColumnLayout {
        width: parent.width
        spacing: 12
        RowLayout {
            spacing: 6
            SymbolImage {
                name: "arrow.down.app.fill"
                pointSize: Theme.headlineSize + 2
                color: Theme.orangeText
            }
            Text {
                text: "Finish installing Zorvane"
                font: Theme.headline
                color: Theme.orangeText
            }
        }
        Text {
            Layout.fillWidth: true
            text: Texts.text("installation.message")
            font: Theme.subheadline
            color: Theme.label
            wrapMode: Text.Wrap
        }
        RowLayout {
            spacing: 8
            PushButton {
                objectName: "openFinderFoldersButton"
                text: Texts.text("installation.openFolders")
                onClicked: root.support.openInstallFolders()
            }
            PushButton {
                objectName: "quitButton"
                text: "Quit Zorvane"
                onClicked: root.support.quit()
            }
        }
    }
}
