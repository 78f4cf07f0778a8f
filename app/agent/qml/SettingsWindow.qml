import QtQuick
import QtQuick.Controls
import QtQuick.Window
import Zorvane.Ui

// The settings window: a fixed size, never titled like the main window.
Window {
    id: window

    // The settings content, the one slot the settings view goes into.
    property Component content: Component { SettingsView { store: appStore } }

    title: "Settings"
    width: 460
    height: 600
    minimumWidth: 460
    minimumHeight: 600
    maximumWidth: 460
    maximumHeight: 600
    visible: false

    Loader {
        objectName: "settingsContent"
        anchors.fill: parent
        sourceComponent: window.content
    }
}
