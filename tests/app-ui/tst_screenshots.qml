import QtQuick
import QtQuick.Window
import QtTest
import Zorvane.Ui

// Renders the main window in three states to PNG files in the build tree, for people to look
// at; each render is also checked to show its state.
TestCase {
    id: testCase
    name: "Screenshots"
    when: windowShown

    Component {
        id: windowComponent
        Window {
            id: window
            property alias view: content
            property var store
            width: 760
            height: 650
            visible: true
            title: "Zorvane"
            color: Theme.windowBackground
            ContentView {
                id: content
                anchors.fill: parent
                store: window.store
            }
        }
    }

    function init() {
        fixture.reset()
        fixture.setHasCompletedOnboarding(true)
    }

    function render(fileName) {
        const window = createTemporaryObject(windowComponent, testCase, { store: fixture.store })
        verify(window !== null)
        tryCompare(window, "visible", true)
        // Images load asynchronously; give them a few frames.
        waitForRendering(window.contentItem)
        wait(100)
        const image = grabImage(window.contentItem)
        compare(image.width, 760)
        compare(image.height, 650)
        const path = screenshotDirectory + "/" + fileName
        image.save(path)
        console.log("screenshot: " + path)
        return window
    }

    function test_empty() {
        verify(fixture.start())
        verify(fixture.setFilterStatus("inactive"))
        const window = render("main-window-empty.png")
        verify(findChild(window.view, "applicationsEmptyState").visible)
    }

    function test_withApplicationsAndActivity() {
        fixture.addApplication("Mail", "com.example.mail", 2)
        fixture.addApplication("Photon Browser", "com.example.photon", 5)
        fixture.addApplication("Radio", "com.example.radio")
        fixture.addEvent("com.example.mail", "imap.example.com", "993", 14, 42)
        fixture.addEvent("com.example.photon.helper2", "telemetry.photon.example", "443", 3, 610)
        fixture.addEvent("com.example.radio", "stream.example.net", "", 1, 7300)
        fixture.addObservation("com.example.photon.helper3")
        fixture.setProtectionRequested(true)
        verify(fixture.start())
        verify(fixture.setFilterStatus("enabled"))
        const window = render("main-window-applications.png")
        compare(findChild(window.view, "applicationCount").text, "3")
        compare(findChild(window.view, "activityCount").text, "3")
    }

    function test_awaitingApproval() {
        fixture.addApplication("Mail", "com.example.mail")
        fixture.setProtectionRequested(true)
        fixture.setAvailableUpdate("1.1", "Shows which helpers were blocked.")
        verify(fixture.start())
        verify(fixture.setFilterStatus("awaitingApproval"))
        const window = render("main-window-awaiting-approval.png")
        verify(findChild(window.view, "approvalBanner").visible)
        verify(findChild(window.view, "updateBanner").visible)
    }
}
