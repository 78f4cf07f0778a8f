import QtQuick
import QtQuick.Controls
import QtQuick.Window
import Zorvane.Ui

// The main window. The application delegate finds it by its title, so no other window may carry
// "Zorvane" as its title.
ApplicationWindow {
    id: window

    // The settings window the menu opens; shared by every main window.
    property Window settingsWindow: null

    // The main content, the one slot the main view goes into.
    property Component content: Component { ContentView { store: appStore } }

    title: "Zorvane"
    width: 760
    height: 650
    minimumWidth: 680
    minimumHeight: 560

    menuBar: MenuBar {
        Menu {
            title: "Zorvane"

            Action {
                text: "Check for Updates…"
                enabled: !(updateController && updateController.isChecking)
                onTriggered: appStore.checkForUpdatesFromMenu()
            }
            MenuSeparator {}
            Action {
                text: "Settings…"
                shortcut: StandardKey.Preferences
                enabled: window.settingsWindow !== null
                onTriggered: {
                    window.settingsWindow.show()
                    window.settingsWindow.raise()
                    window.settingsWindow.requestActivate()
                }
            }
            MenuSeparator {}
            Action {
                text: "Quit Zorvane"
                shortcut: StandardKey.Quit
                onTriggered: Qt.quit()
            }
        }
    }

    Loader {
        objectName: "mainContent"
        anchors.fill: parent
        sourceComponent: window.content
    }
}
