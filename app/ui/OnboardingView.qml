import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zorvane.Ui

// The getting-started guide. The presenter gives the two facts the pages depend on and handles
// `finish`. The pages are chosen once, when the guide is made, so moving the application or
// turning protection on while it is open does not reshuffle them; the presenter makes a new
// guide each time it opens it, which also starts it on the first page.
//
// "When the guide is made" includes the presenter's own completion handler, which runs after
// this file's: the pages follow the facts until the creation has finished, then stay.
Pane {
    id: root

    property bool isInApplicationsFolder: true
    property bool isProtectionActive: false

    // How long a page change takes; the tests make it 0.
    property int animationDuration: 180

    signal finish()

    property int currentStep: 0
    property bool pagesFixed: false
    property var fixedSteps: []
    readonly property var steps: pagesFixed ? fixedSteps
                                            : stepsFor(isInApplicationsFolder, isProtectionActive)
    readonly property bool isLastStep: currentStep + 1 >= steps.length
    readonly property OnboardingStep step: steps.length > 0 ? steps[currentStep] : null

    implicitWidth: 540
    implicitHeight: 440
    padding: 0
    // Rounded as the sheet that holds it.
    background: Rectangle { radius: 14; color: Theme.windowBackground }

    OnboardingStep {
        id: welcome
        symbol: "shield.lefthalf.filled"
        title: "Welcome to Zorvane"
        message: Texts.text("guide.welcome.message")
    }
    OnboardingStep {
        id: moveToApplications
        symbol: "arrow.down.app.fill"
        title: Texts.text("guide.install.title")
        message: Texts.text("guide.install.message")
    }
    OnboardingStep {
        id: turnOnProtection
        symbol: "switch.2"
        title: "Turn On Protection"
        message: Texts.text("guide.protection.message")
    }
    OnboardingStep {
        id: dropInAnApp
        symbol: "app.dashed"
        title: "Drop In an App"
        message: Texts.text("guide.dropIn.message")
    }
    OnboardingStep {
        id: ready
        symbol: "questionmark.circle"
        title: "You're Ready"
        message: "Remove an app from the list whenever you want to restore access. Use the question mark in the header to view this guide again."
    }

    function stepsFor(inApplicationsFolder, protectionActive) {
        const chosen = [welcome]
        if (!inApplicationsFolder)
            chosen.push(moveToApplications)
        if (!protectionActive)
            chosen.push(turnOnProtection)
        chosen.push(dropInAnApp, ready)
        return chosen
    }

    Component.onCompleted: Qt.callLater(() => {
        fixedSteps = stepsFor(isInApplicationsFolder, isProtectionActive)
        pagesFixed = true
    })

    function goBack() {
        if (currentStep > 0)
            showStep(currentStep - 1)
    }

    function advance() {
        if (isLastStep)
            finish()
        else
            showStep(currentStep + 1)
    }

    function showStep(index) {
        currentStep = index
        pageFade.restart()
    }

    // The forward button is the default button: Return and Enter press it.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: root.visible
        onActivated: root.advance()
    }

    NumberAnimation {
        id: pageFade
        target: page
        property: "opacity"
        from: 0
        to: 1
        duration: root.animationDuration
        easing.type: Easing.OutQuad
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 24
        spacing: 16

        RowLayout {
            Layout.fillWidth: true
            Item { Layout.fillWidth: true }
            AbstractButton {
                id: skipButton
                objectName: "skipButton"
                text: "Skip"
                hoverEnabled: true
                padding: 6
                ToolTip.visible: hovered
                ToolTip.delay: 700
                ToolTip.text: "Close the tutorial"
                onClicked: root.finish()
                contentItem: Text {
                    text: skipButton.text
                    font: Theme.body
                    color: Theme.label
                    opacity: skipButton.down ? 0.6 : 1
                }
                background: Item {}
            }
        }

        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true

            Column {
                id: page
                objectName: "page"
                anchors.centerIn: parent
                width: parent.width
                spacing: 10

                Rectangle {
                    anchors.horizontalCenter: parent.horizontalCenter
                    width: 104
                    height: 104
                    radius: 26
                    color: Theme.withAlpha(Theme.blue, 0.1)
                    SymbolImage {
                        objectName: "stepSymbol"
                        anchors.centerIn: parent
                        name: root.step ? root.step.symbol : ""
                        pointSize: 48
                        weight: Font.Medium
                        color: Theme.blue
                    }
                }
                Text {
                    objectName: "stepTitle"
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: root.step ? root.step.title : ""
                    font.family: Theme.title.family
                    font.pixelSize: Theme.titleSize
                    font.bold: true
                    color: Theme.label
                }
                Text {
                    objectName: "stepMessage"
                    anchors.horizontalCenter: parent.horizontalCenter
                    width: Math.min(420, parent.width)
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.WordWrap
                    text: root.step ? root.step.message : ""
                    font: Theme.body
                    color: Theme.secondary
                }
            }
        }

        Row {
            objectName: "pageIndicator"
            Layout.alignment: Qt.AlignHCenter
            spacing: 6
            Repeater {
                objectName: "pageDots"
                model: root.steps.length
                delegate: Rectangle {
                    required property int index
                    readonly property bool isCurrent: index === root.currentStep
                    width: isCurrent ? 22 : 7
                    height: 7
                    radius: 3.5
                    color: isCurrent ? Theme.blue : Theme.withAlpha(Theme.secondary, 0.25)
                    Behavior on width {
                        NumberAnimation { duration: root.animationDuration; easing.type: Easing.OutQuad }
                    }
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            PushButton {
                objectName: "backButton"
                text: "Back"
                enabled: root.currentStep > 0
                onClicked: root.goBack()
            }
            Item { Layout.fillWidth: true }
            PushButton {
                objectName: "forwardButton"
                text: root.isLastStep ? "Get Started" : "Continue"
                prominent: true
                onClicked: root.advance()
            }
        }
    }
}
