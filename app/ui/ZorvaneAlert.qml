import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Templates as T
import QtQuick.Layouts
import Zorvane.Ui

// The one alert through which the store reports a problem, titled "Zorvane", with its message
// and an OK button. It shows while `message` is set; any way out of it calls `dismissed`.
Dialog {
    id: alert
    objectName: "alert"

    property string message

    signal dismissed()

    title: "Zorvane"
    modal: true
    closePolicy: Popup.CloseOnEscape
    padding: 20
    topPadding: 6
    bottomPadding: 0

    function follow() {
        if (message.length > 0)
            open()
        else
            close()
    }
    onMessageChanged: follow()
    Component.onCompleted: follow()
    onClosed: dismissed()

    background: Rectangle {
        radius: 14
        color: Theme.popupBackground
        border.width: 1
        border.color: Theme.popupBorder
    }
    T.Overlay.modal: Rectangle { color: Theme.dimming }

    header: Text {
        text: alert.title
        font: Theme.headline
        color: Theme.label
        leftPadding: 20
        rightPadding: 20
        topPadding: 18
        bottomPadding: 4
    }

    Text {
        objectName: "alertMessage"
        width: parent ? parent.width : implicitWidth
        text: alert.message
        wrapMode: Text.Wrap
        font: Theme.body
        color: Theme.label
    }

    footer: Item {
        implicitHeight: okButton.implicitHeight + 36
        PushButton {
            id: okButton
            objectName: "alertOkButton"
            anchors.right: parent.right
            anchors.rightMargin: 20
            anchors.verticalCenter: parent.verticalCenter
            text: "OK"
            prominent: true
            // The alert's only answer: Return takes it.
            focus: true
            onClicked: alert.reject()
        }
    }
}
