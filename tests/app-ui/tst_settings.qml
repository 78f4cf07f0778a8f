import QtQuick
import QtTest
import Zorvane.Ui

// The settings window and the getting-started guide.
TestCase {
    id: testCase
    name: "Settings"
    when: windowShown
    // TestCase is hidden by default; the views under test must be shown to take input.
    visible: true
    width: 640
    height: 640

    Component {
        id: settingsComponent
        SettingsView { store: fixture.store }
    }

    Component {
        id: guideComponent
        OnboardingView { animationDuration: 0 }
    }

    SignalSpy { id: finishSpy; signalName: "finish" }

    // As a presenter builds it: a new guide per opening, given the facts as it completes.
    Loader {
        id: presented
        active: false
        property bool inApplications
        property bool protectionActive
        sourceComponent: OnboardingView {
            animationDuration: 0
            Component.onCompleted: {
                isInApplicationsFolder = presented.inApplications
                isProtectionActive = presented.protectionActive
            }
        }
    }

    function init() {
        fixture.reset()
        finishSpy.clear()
    }

    function titles(guide) {
        return guide.steps.map(step => step.title)
    }

    function makeGuide(inApplications, protectionActive) {
        const guide = createTemporaryObject(guideComponent, testCase, {
            isInApplicationsFolder: inApplications, isProtectionActive: protectionActive })
        finishSpy.target = guide
        return guide
    }

    function test_versionRow() {
        verify(fixture.start())
        fixture.setBundleVersions("", "42")
        let settings = createTemporaryObject(settingsComponent, testCase)
        compare(findChild(settings, "currentVersion").text, "Unknown (42)")
        // No update known: no update rows.
        verify(!findChild(settings, "availableVersion").visible)
        verify(!findChild(settings, "downloadUpdateButton").visible)
        settings.destroy()

        fixture.setBundleVersions("2.1", "")
        settings = createTemporaryObject(settingsComponent, testCase)
        compare(findChild(settings, "currentVersion").text, "2.1")
    }

    function test_protectionSwitch() {
        fixture.setProtectionRequested(true)
        verify(fixture.start())
        verify(fixture.setFilterStatus("awaitingApproval"))
        const settings = createTemporaryObject(settingsComponent, testCase)
        const setting = findChild(settings, "protectionSetting")
        verify(setting.control.checked)
        verify(!setting.control.enabled)

        // Awaiting approval: tapping the switch does nothing.
        mouseClick(setting.control)
        verify(fixture.store.isProtectionRequested)
        compare(fixture.store.alertMessage, "")
        verify(!settings.alert.visible)

        // Installation required: tapping it explains why, in the alert titled "Zorvane".
        verify(fixture.setFilterStatus("installationRequired"))
        verify(!setting.control.enabled)
        mouseClick(setting.control)
        compare(fixture.store.alertMessage, Texts.text("alert.installationRequired"))
        tryVerify(() => settings.alert.opened)
        compare(settings.alert.title, "Zorvane")
        compare(findChild(settings.alert, "alertMessage").text, fixture.store.alertMessage)
        verify(fixture.store.isProtectionRequested)

        // OK clears the message.
        settings.alert.accept()
        tryCompare(fixture.store, "alertMessage", "")

        // Enabled: the switch turns protection off and keeps showing the store's wish.
        verify(fixture.setFilterStatus("enabled"))
        verify(setting.control.enabled)
        mouseClick(setting.control)
        verify(!fixture.store.isProtectionRequested)
        verify(!setting.control.checked)
    }

    function test_menuBarSwitch() {
        verify(fixture.start())
        const settings = createTemporaryObject(settingsComponent, testCase)
        const setting = findChild(settings, "statusBarSetting")
        compare(setting.control.checked, fixture.store.isStatusBarIconEnabled)
        const before = fixture.store.isStatusBarIconEnabled
        mouseClick(setting.control)
        compare(fixture.store.isStatusBarIconEnabled, !before)
        compare(setting.control.checked, !before)
    }

    function test_updateSection() {
        fixture.setAvailableUpdate("2.0", "")
        verify(fixture.start())
        const settings = createTemporaryObject(settingsComponent, testCase)
        const available = findChild(settings, "availableVersion")
        verify(available.visible)
        compare(available.text, "2.0")
        mouseClick(findChild(settings, "downloadUpdateButton"))
        compare(fixture.openedUrls, ["https://zorvane.app/download/Zorvane-2.0.dmg"])
        verify(findChild(settings, "checkForUpdatesButton").enabled)
    }

    function test_guidePages() {
        const brief = makeGuide(true, true)
        compare(titles(brief), ["Welcome to Zorvane", "Drop In an App", "You're Ready"])
        compare(findChild(brief, "pageDots").count, 3)
        compare(findChild(brief, "pageDots").itemAt(0).width, 22)
        compare(findChild(brief, "pageDots").itemAt(1).width, 7)
        const forward = findChild(brief, "forwardButton")
        compare(forward.text, "Continue")
        mouseClick(forward)
        mouseClick(forward)
        compare(brief.currentStep, 2)
        compare(findChild(brief, "stepTitle").text, "You're Ready")
        compare(forward.text, "Get Started")
        compare(finishSpy.count, 0)
        mouseClick(forward)
        compare(finishSpy.count, 1)
        compare(brief.currentStep, 2)

        const full = makeGuide(false, false)
        const allTitles = ["Welcome to Zorvane", Texts.text("guide.install.title"), "Turn On Protection",
                           "Drop In an App", "You're Ready"]
        compare(titles(full), allTitles)
        compare(full.steps[1].symbol, "arrow.down.app.fill")
        compare(full.steps[2].symbol, "switch.2")
        // The pages were chosen when the guide opened.
        tryCompare(full, "pagesFixed", true)
        full.isProtectionActive = true
        full.isInApplicationsFolder = true
        compare(titles(full), allTitles)

        // Facts handed over while the presenter completes the guide still choose the pages.
        presented.inApplications = false
        presented.protectionActive = false
        presented.active = true
        tryCompare(presented.item, "pagesFixed", true)
        compare(titles(presented.item), allTitles)
        presented.active = false

        compare(titles(makeGuide(true, false)),
                ["Welcome to Zorvane", "Turn On Protection", "Drop In an App", "You're Ready"])
    }

    function test_guideControls() {
        const guide = makeGuide(false, true)
        const back = findChild(guide, "backButton")
        verify(!back.enabled)
        compare(findChild(guide, "stepTitle").text, "Welcome to Zorvane")

        // Return presses the forward button.
        keyClick(Qt.Key_Return)
        compare(guide.currentStep, 1)
        compare(findChild(guide, "stepTitle").text, Texts.text("guide.install.title"))
        verify(back.enabled)
        mouseClick(back)
        compare(guide.currentStep, 0)

        keyClick(Qt.Key_Return)
        keyClick(Qt.Key_Return)
        keyClick(Qt.Key_Return)
        compare(guide.currentStep, 3)
        compare(finishSpy.count, 0)
        keyClick(Qt.Key_Return)
        compare(finishSpy.count, 1)

        // Skip finishes from any page.
        guide.destroy()
        const other = makeGuide(true, true)
        finishSpy.clear()
        mouseClick(findChild(other, "skipButton"))
        compare(finishSpy.count, 1)
    }
}
