import QtQml

// The window-mode scenes: the main window and the one settings window it opens. The delegate
// builds a further main window from MainWindow.qml only when this one no longer exists.
QtObject {
    id: scenes

    property SettingsWindow settingsWindow: SettingsWindow {}

    property MainWindow mainWindow: MainWindow {
        visible: true
        settingsWindow: scenes.settingsWindow
    }
}
