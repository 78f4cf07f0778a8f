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
            text: "macOS can only enable Zorvane's network extension when the app is in the Applications folder. Quit this copy, drag Zorvane from Downloads into Applications, then open it there."
            font: Theme.subheadline
            color: Theme.label
            wrapMode: Text.Wrap
        }
        RowLayout {
            spacing: 8
            PushButton {
                objectName: "openFinderFoldersButton"
                text: "Open Finder Folders"
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
