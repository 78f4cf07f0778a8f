import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// The protection switch, drawn the same on every platform: a 42 × 24 capsule with a white knob.
// It shows `isOn` and never changes it itself: a click asks for the other value through
// `toggled`, and the knob follows once the owner's value changes.
AbstractButton {
    id: control

    property bool isOn: false
    signal toggled(bool isOn)

    implicitWidth: 42
    implicitHeight: 24
    padding: 0
    focusPolicy: Qt.StrongFocus
    hoverEnabled: true

    Accessible.role: Accessible.CheckBox
    Accessible.name: "Protection"
    Accessible.description: isOn ? "On" : "Off"
    Accessible.checkable: true
    Accessible.checked: isOn
    // What assistive technology reads as the switch's value.
    readonly property string accessibleValue: isOn ? "On" : "Off"

    onClicked: toggled(!isOn)

    background: Rectangle {
        implicitWidth: 42
        implicitHeight: 24
        radius: height / 2
        color: control.isOn ? Theme.accent : Theme.withAlpha(Theme.secondary, 0.32)
        opacity: control.enabled ? 1 : 0.5
        Behavior on color { ColorAnimation { duration: 160; easing.type: Easing.InOutQuad } }

        // The knob's shadow: black at 0.2, one point down.
        Rectangle {
            x: knob.x
            y: knob.y + 1
            width: knob.width
            height: knob.height
            radius: width / 2
            color: Qt.rgba(0, 0, 0, 0.2)
        }
        Rectangle {
            id: knob
            objectName: "switchKnob"
            width: parent.height - 4
            height: width
            radius: width / 2
            y: 2
            x: control.isOn ? parent.width - width - 2 : 2
            color: "white"
            Behavior on x { NumberAnimation { duration: 160; easing.type: Easing.InOutQuad } }
        }
    }
    contentItem: Item {}
}
