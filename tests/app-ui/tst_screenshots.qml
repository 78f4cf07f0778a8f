import QtQuick
import QtQuick.Window
import QtTest
import Zorvane.Ui

// Renders the main window in its states, the settings window and every page of the guide, in
// the light and the dark palette, to PNG files in the build tree for people to look at; each
// render is also checked to show its state. The file names carry the palette and the device
// pixel ratio the run had ("-2x" under QT_SCALE_FACTOR=2).
TestCase {
    id: testCase
    name: "Screenshots"
    when: windowShown

    readonly property var palettes: [ { name: "light", palette: "adwaita-light" },
                                      { name: "dark", palette: "adwaita-dark" } ]

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

    Component {
        id: settingsWindowComponent
        Window {
            id: window
            property alias view: content
            property var store
            width: 460
            height: 600
            visible: true
            title: "Settings"
            color: Theme.windowBackground
            SettingsView {
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

    function cleanupTestCase() {
        fixture.usePalette("default")
    }

    function fileName(base, palette, window) {
        const ratio = window.screen ? window.screen.devicePixelRatio : 1
        return base + "-" + palette + (ratio > 1 ? "-" + ratio + "x" : "") + ".png"
    }

    function show(component) {
        const window = createTemporaryObject(component, testCase, { store: fixture.store })
        verify(window !== null)
        tryCompare(window, "visible", true)
        return window
    }

    function save(window, base, palette) {
        // Images load asynchronously; give them a few frames.
        waitForRendering(window.contentItem)
        wait(100)
        const ratio = window.screen ? window.screen.devicePixelRatio : 1
        const path = screenshotDirectory + "/" + fileName(base, palette, window)
        const size = fixture.saveWindowImage(window, path)
        compare(size.width, Math.round(window.width * ratio))
        compare(size.height, Math.round(window.height * ratio))
        console.log("screenshot: " + path)
    }

    // Each state once per palette: the palette is switched with the window up, as the desktop
    // would switch it.
    function renderInEachPalette(window, base) {
        for (const entry of palettes) {
            verify(fixture.usePalette(entry.palette))
            save(window, base, entry.name)
        }
    }

    function test_empty() {
        verify(fixture.start())
        verify(fixture.setFilterStatus("inactive"))
        const window = show(windowComponent)
        verify(findChild(window.view, "activityEmptyState").visible)
        renderInEachPalette(window, "main-window-empty")
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
        const window = show(windowComponent)
        compare(findChild(window.view, "activityCount").text, "3")
        renderInEachPalette(window, "main-window-applications")
        // The rows below the activity, one of them with its process list open.
        const list = findChild(window.view, "scrollArea")
        list.positionViewAtEnd()
        tryVerify(() => findChild(window.view, "summaryButton") !== null)
        compare(findChild(window.view, "applicationCount").text, "3")
        mouseClick(findChild(window.view, "summaryButton"))
        tryVerify(() => findChild(window.view, "componentList") !== null)
        list.positionViewAtEnd()
        renderInEachPalette(window, "main-window-applications-expanded")
    }

    // Linux applications as a person adds them: desktop entries inspected for real, their icons
    // from an icon theme, one PNG and two SVG.
    function test_linuxApplications() {
        const editor = fixture.addInspected(fixture.installDesktopEntry("Text Editor", "png",
                                                                        "#2f6fdf"))
        const browser = fixture.addInspected(fixture.installDesktopEntry("Web Browser", "svg",
                                                                         "#e8772e"))
        const player = fixture.addInspected(fixture.installDesktopEntry("Music Player", "svg",
                                                                        "#2a9d6f"))
        verify(editor.id && browser.id && player.id)
        verify(editor.hasIcon && browser.hasIcon && player.hasIcon)
        fixture.addEvent(browser.signingIdentifier, "telemetry.browser.example", "443", 6, 30)
        fixture.addEvent(player.signingIdentifier, "stream.example.net", "443", 2, 900)
        fixture.setProtectionRequested(true)
        verify(fixture.start())
        verify(fixture.setFilterStatus("enabled"))
        const window = show(windowComponent)
        compare(findChild(window.view, "activityCount").text, "2")
        renderInEachPalette(window, "main-window-linux-applications")
        const list = findChild(window.view, "scrollArea")
        list.positionViewAtEnd()
        tryVerify(() => findChild(window.view, "applicationCount") !== null)
        compare(findChild(window.view, "applicationCount").text, "3")
        renderInEachPalette(window, "main-window-linux-applications-list")
        // A program's process list names it by its executable.
        mouseClick(findChild(window.view, "summaryButton"))
        tryVerify(() => findChild(window.view, "componentList") !== null)
        list.positionViewAtEnd()
        renderInEachPalette(window, "main-window-linux-applications-expanded")
    }

    function test_awaitingApproval() {
        fixture.addApplication("Mail", "com.example.mail")
        fixture.setProtectionRequested(true)
        verify(fixture.start())
        verify(fixture.setFilterStatus("awaitingApproval"))
        const window = show(windowComponent)
        verify(findChild(window.view, "approvalBanner").visible)
        verify(!findChild(window.view, "updateBanner").visible)
        renderInEachPalette(window, "main-window-awaiting-approval")
    }

    function test_updateBanner() {
        fixture.addApplication("Mail", "com.example.mail")
        fixture.setProtectionRequested(true)
        fixture.setAvailableUpdate("1.1", "Shows which helpers were blocked.")
        verify(fixture.start())
        verify(fixture.setFilterStatus("enabled"))
        const window = show(windowComponent)
        verify(findChild(window.view, "updateBanner").visible)
        renderInEachPalette(window, "main-window-update")
    }

    function test_installationRequiredWithAlert() {
        fixture.setProtectionRequested(true)
        verify(fixture.start())
        verify(fixture.setFilterStatus("installationRequired"))
        const window = show(windowComponent)
        verify(findChild(window.view, "installationBanner").visible)
        fixture.store.explainProtectionUnavailable()
        tryVerify(() => findChild(window.view, "alert").opened)
        renderInEachPalette(window, "main-window-installation-alert")
    }

    function test_accessMenu() {
        fixture.addApplication("Mail", "com.example.mail", 1)
        verify(fixture.start())
        verify(fixture.setFilterStatus("enabled"))
        const window = show(windowComponent)
        tryVerify(() => findChild(window.view, "accessBadge") !== null)
        mouseClick(findChild(window.view, "accessBadge"))
        const row = findChild(window.view, "applicationRow")
        tryVerify(() => findChild(row, "accessBadge") && findAccessMenu(row) !== null
                  && findAccessMenu(row).opened)
        renderInEachPalette(window, "main-window-access-menu")
    }

    function findAccessMenu(item) {
        if (item.accessMenu !== undefined && item.accessMenu !== null)
            return item.accessMenu
        const children = item.children || []
        for (let index = 0; index < children.length; ++index) {
            const found = findAccessMenu(children[index])
            if (found)
                return found
        }
        return null
    }

    function test_settings() {
        fixture.setAvailableUpdate("1.1", "")
        fixture.setBundleVersions("1.0", "7")
        verify(fixture.start())
        verify(fixture.setFilterStatus("enabled"))
        const window = show(settingsWindowComponent)
        verify(findChild(window.view, "availableVersion").visible)
        renderInEachPalette(window, "settings")
    }

    function test_guidePages() {
        // Outside the installed location with protection off: all five pages.
        fixture.setHasCompletedOnboarding(false)
        verify(fixture.start())
        fixture.setInApplicationsFolder(false)
        verify(fixture.setFilterStatus("inactive"))
        const window = show(windowComponent)
        const sheet = findChild(window.view, "onboardingSheet")
        tryVerify(() => sheet.opened && sheet.contentItem.item !== null)
        const guide = sheet.contentItem.item
        guide.animationDuration = 0
        tryCompare(guide, "pagesFixed", true)
        compare(guide.steps.length, 5)
        for (let page = 0; page < guide.steps.length; ++page) {
            compare(guide.currentStep, page)
            renderInEachPalette(window, "guide-" + (page + 1))
            if (page + 1 < guide.steps.length)
                mouseClick(findChild(guide, "forwardButton"))
        }
    }
}
