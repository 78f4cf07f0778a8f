import QtQuick
import QtQuick.Window
import QtTest
import Zorvane.Ui

// The main view in a window of its own, hidden and shown again as the window process does when
// the user closes its window and brings it back.
TestCase {
    id: testCase
    name: "HiddenWindow"
    when: windowShown

    Component {
        id: windowComponent
        Window {
            property alias view: content
            width: 760
            height: 650
            ContentView {
                id: content
                anchors.fill: parent
                store: fixture.store
            }
        }
    }

    function test_unfinishedGuideReopensWhenTheWindowIsShownAgain() {
        fixture.reset()
        fixture.setHasCompletedOnboarding(false)
        verify(fixture.start(), "store loaded")
        const window = createTemporaryObject(windowComponent, testCase)
        verify(window !== null)
        window.show()
        const sheet = findChild(window.view, "onboardingSheet")
        verify(sheet !== null)
        tryCompare(sheet, "opened", true)
        sheet.close()
        tryCompare(sheet, "visible", false)

        window.hide()
        window.show()
        tryCompare(sheet, "opened", true)

        // Finished: the window comes back without it.
        sheet.contentItem.item.finish()
        tryCompare(sheet, "visible", false)
        window.hide()
        window.show()
        verify(!window.view.showingOnboarding)
        window.hide()
    }
}
