import QtQuick
import QtQuick.Controls.Basic
import Zorvane.Ui

// The switch of the views, drawn the same on every platform: a 42 × 24 capsule in the accent
// colour when on, with a white knob. It shows `isOn` and never changes it itself: a click asks
// for the other value through `switchRequested`, and the knob follows once the owner's value
// changes.
//
// Assistive technology reads it as a check box whose checked state is the switch's value, so
// the button is checkable and its checked state is kept bound to `isOn`.
AbstractButton {
    id: control

    property bool isOn: false
    property string accessibleName: "Protection"
    signal switchRequested(bool isOn)

    implicitWidth: 42
    implicitHeight: 24
    padding: 0
    focusPolicy: Qt.StrongFocus
    hoverEnabled: true
    checkable: true
    checked: isOn

    Accessible.role: Accessible.CheckBox
    Accessible.name: accessibleName

    onClicked: {
        // The click has flipped `checked` on its own; the owner's value decides.
        const wish = checked
        checked = Qt.binding(() => control.isOn)
        switchRequested(wish)
    }

    background: Rectangle {
        implicitWidth: 42
        implicitHeight: 24
        radius: height / 2
        color: control.isOn ? Theme.accent : Theme.withAlpha(Theme.secondary, 0.32)
        opacity: control.enabled ? 1 : 0.5
        Behavior on color { ColorAnimation { duration: 160; easing.type: Easing.InOutQuad } }

        // The keyboard focus ring.
        Rectangle {
            visible: control.visualFocus
            anchors.fill: parent
            anchors.margins: -3
            radius: height / 2
            color: "transparent"
            border.width: 2
            border.color: Theme.withAlpha(Theme.accent, 0.6)
        }
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
            // A hairline keeps the knob apart from a light window while the switch is off.
            border.width: control.isOn ? 0 : 1
            border.color: Qt.rgba(0, 0, 0, 0.12)
            Behavior on x { NumberAnimation { duration: 160; easing.type: Easing.InOutQuad } }
        }
    }
    contentItem: Item {}
}
