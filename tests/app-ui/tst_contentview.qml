import QtQuick
import QtTest
import Zorvane.Ui

// TestCase itself is invisible, so the views live in a visible item beside it.
Item {
    id: stage
    width: 760
    height: 650

    Component {
        id: contentComponent
        ContentView { width: 760; height: 650 }
    }


TestCase {
    id: testCase
    name: "ContentView"
    when: windowShown

    function init() {
        fixture.reset()
        fixture.setHasCompletedOnboarding(true)
    }

    // The views of the last test go away after it; one more frame lets the scene graph give
    // back what it held for them before the program ends.
    function cleanupTestCase() {
        wait(50)
    }

    function makeView() {
        const view = createTemporaryObject(contentComponent, stage, { store: fixture.store })
        verify(view !== null)
        // The list makes its rows when it lays out, before the first frame.
        waitForRendering(view)
        return view
    }

    function start(status, message) {
        verify(fixture.start(), "store loaded")
        if (status !== undefined)
            verify(fixture.setFilterStatus(status, message === undefined ? "" : message), status)
    }

    function child(view, name) {
        const found = findChild(view, name)
        verify(found !== null, "no item named " + name)
        return found
    }

    // The list makes only the rows on screen; this brings its end there.
    function scrollToEnd(view) {
        child(view, "scrollArea").positionViewAtEnd()
        waitForRendering(view)
    }

    function visibleItems(item, name) {
        let count = 0
        if (item.objectName === name && item.visible)
            count += 1
        const children = item.children || []
        for (let index = 0; index < children.length; ++index)
            count += visibleItems(children[index], name)
        return count
    }

    // MARK: header

    function test_statusTextDotAndSwitch_data() {
        return [
            { tag: "off, inactive", requested: false, status: "inactive",
              text: "Protection off", tone: "secondary", switchEnabled: true },
            { tag: "off, enabled", requested: false, status: "enabled",
              text: "Protection off", tone: "secondary", switchEnabled: true },
            { tag: "off, awaiting approval", requested: false, status: "awaitingApproval",
              text: "Protection off", tone: "secondary", switchEnabled: false },
            { tag: "on, inactive", requested: true, status: "inactive",
              text: "Turning on...", tone: "secondary", switchEnabled: true },
            { tag: "on, activating", requested: true, status: "activating",
              text: "Turning on...", tone: "orange", switchEnabled: false },
            { tag: "on, installation required", requested: true, status: "installationRequired",
              text: Texts.text("status.installationRequired"), tone: "orange", switchEnabled: false },
            { tag: "on, awaiting approval", requested: true, status: "awaitingApproval",
              text: "Awaiting approval", tone: "orange", switchEnabled: false },
            { tag: "on, enabled", requested: true, status: "enabled",
              text: "Protection on", tone: "green", switchEnabled: true },
            { tag: "on, failed", requested: true, status: "failed",
              text: "Action required", tone: "red", switchEnabled: true },
        ]
    }

    function test_statusTextDotAndSwitch(row) {
        fixture.setProtectionRequested(row.requested)
        start(row.status, "The filter stopped.")
        const view = makeView()
        compare(child(view, "statusText").text, row.text)
        compare(child(view, "statusDot").tone, row.tone)
        const toggle = child(view, "protectionSwitch")
        // The switch shows the wish, not the filter.
        compare(toggle.isOn, row.requested)
        // What assistive technology reads: a check box named "Protection" whose checked state
        // is the switch's value (not a description it would read as prose).
        const reading = fixture.accessibleReading(toggle)
        compare(reading.role, 44 /* QAccessible::CheckBox */)
        compare(reading.name, "Protection")
        verify(reading.checkable)
        compare(reading.checked, row.requested)
        compare(reading.description, "")
        compare(toggle.enabled, row.switchEnabled)
        compare(child(view, "explainTapTarget").visible, row.status === "installationRequired")
    }

    function test_switchAsksTheStoreAndFollowsIt() {
        start("inactive")
        const view = makeView()
        const toggle = child(view, "protectionSwitch")
        mouseClick(toggle)
        verify(fixture.store.isProtectionRequested)
        tryCompare(toggle, "isOn", true)
        verify(fixture.accessibleReading(toggle).checked)
        fixture.setFilterStatus("enabled")
        mouseClick(toggle)
        verify(!fixture.store.isProtectionRequested)
        tryCompare(toggle, "isOn", false)
        verify(!fixture.accessibleReading(toggle).checked)
        // After the clicks the checked state still follows the wish, not the last click.
        fixture.store.isProtectionRequested = true
        tryCompare(toggle, "isOn", true)
        verify(fixture.accessibleReading(toggle).checked)
    }

    function test_tapOnTheDisabledSwitchExplainsWhy() {
        fixture.setProtectionRequested(true)
        start("installationRequired")
        const view = makeView()
        mouseClick(child(view, "explainTapTarget"))
        compare(fixture.store.alertMessage, Texts.text("alert.installationRequired"))
        const alert = child(view, "alert")
        tryCompare(alert, "opened", true)
        compare(alert.title, "Zorvane")
        compare(child(view, "alertMessage").text, fixture.store.alertMessage)
        mouseClick(child(view, "alertOkButton"))
        tryCompare(alert, "visible", false)
        compare(fixture.store.alertMessage, "")
    }

    function test_becomingActiveRefreshesTheFilterState() {
        fixture.setProtectionRequested(true)
        start("inactive")
        const view = makeView()
        const status = child(view, "statusText")
        compare(status.text, "Turning on...")

        // Meanwhile the user enabled the filter in the system's settings; the status follows
        // when the window comes back to the front. (The offscreen platform does not move window
        // activation between windows, so the scene phase is played here.)
        fixture.setSystemFilterEnabled(true)
        view.isSceneActive = false
        fixture.settle()
        compare(status.text, "Turning on...")
        view.isSceneActive = true
        fixture.settle()
        tryCompare(status, "text", "Protection on")
    }

    // MARK: banners

    function test_bannersFollowTheStatus_data() {
        return [
            { tag: "installation required", status: "installationRequired", update: false,
              installation: true, approval: false },
            { tag: "awaiting approval", status: "awaitingApproval", update: false,
              installation: false, approval: true },
            { tag: "enabled", status: "enabled", update: false,
              installation: false, approval: false },
            { tag: "update over installation", status: "installationRequired", update: true,
              installation: true, approval: false },
            { tag: "update over approval", status: "awaitingApproval", update: true,
              installation: false, approval: true },
        ]
    }

    function test_bannersFollowTheStatus(row) {
        if (row.update)
            fixture.setAvailableUpdate("9.0", "Faster filtering.")
        fixture.setProtectionRequested(true)
        start(row.status)
        const view = makeView()
        const update = child(view, "updateBanner")
        const installation = child(view, "installationBanner")
        const approval = child(view, "approvalBanner")
        compare(update.visible, row.update)
        compare(installation.visible, row.installation)
        compare(approval.visible, row.approval)
        if (row.update) {
            const below = row.installation ? installation : approval
            verify(update.y + update.height <= below.y, "the update banner stands above")
        }
    }

    function test_approvalBannerTellsALinuxUserWhatToRun() {
        fixture.setProtectionRequested(true)
        start("awaitingApproval")
        const view = makeView()
        verify(child(view, "approvalBanner").visible)
        verify(child(view, "approvalSteps").model.indexOf("2. Run: zorvane-system approve") >= 0,
               "the banner names the command")
    }

    function test_updateBannerTextsAndClose() {
        fixture.setAvailableUpdate("9.0", "")
        start("enabled")
        const view = makeView()
        compare(child(view, "updateTitle").text, "Zorvane 9.0 is available")
        compare(child(view, "updateNotes").text, "A new version is ready to download.")
        compare(child(view, "updateNotes").maximumLineCount, 2)
        mouseClick(child(view, "downloadUpdateButton"))
        compare(fixture.openedUrls, ["https://zorvane.app/download/Zorvane-9.0.dmg"])
        mouseClick(child(view, "closeUpdateBannerButton"))
        verify(!fixture.store.updateController.isBannerVisible)
        compare(child(view, "updateBanner").visible, false)
    }

    function test_updateBannerShowsTheNotes() {
        fixture.setAvailableUpdate("9.1", "Blocks helpers sooner.")
        start("enabled")
        const view = makeView()
        compare(child(view, "updateNotes").text, "Blocks helpers sooner.")
    }

    function test_bannerButtonsAskTheDesktop() {
        fixture.setProtectionRequested(true)
        start("installationRequired")
        let view = makeView()
        mouseClick(child(view, "openFinderFoldersButton"))
        compare(fixture.openedUrls, ["file:///home/tester/Downloads", "file:///Applications"])
        mouseClick(child(view, "quitButton"))
        compare(fixture.quitRequests, 1)

        verify(fixture.setFilterStatus("awaitingApproval"))
        // The approval banner names the command; no settings page to open on Linux.
        verify(!child(view, "openSystemSettingsButton").visible)
        // Retrying while the request still waits keeps waiting for approval.
        mouseClick(child(view, "retryActivationButton"))
        fixture.settle()
        compare(child(view, "statusText").text, "Awaiting approval")
    }

    // MARK: sections

    function test_emptySectionsCountZero() {
        start("enabled")
        const view = makeView()
        compare(child(view, "activityCount").text, "0")
        compare(child(view, "applicationCount").text, "0")
        verify(child(view, "activityEmptyState").visible)
        compare(visibleItems(view, "activityRow"), 0)
        verify(child(view, "applicationsEmptyState").visible)
        compare(visibleItems(view, "applicationDivider"), 0)
    }

    function test_countsFollowTheLists() {
        fixture.addApplication("Mail", "com.example.mail")
        fixture.addApplication("Notes", "com.example.notes")
        fixture.addApplication("Radio", "com.example.radio")
        // Fourteen events of listed apps (the list shows twelve), one of an unlisted one.
        for (let index = 0; index < 14; ++index)
            fixture.addEvent("com.example.mail", "host" + index + ".example.com", "443", 1, 10 + index)
        fixture.addEvent("org.other.tool", "example.org", "443", 1, 5)
        start("enabled")
        const view = makeView()
        compare(child(view, "activityCount").text, "12")
        // Twelve rows of activity push the blocked apps below the window's edge.
        scrollToEnd(view)
        compare(child(view, "applicationCount").text, "3")
        verify(!child(view, "activityEmptyState").visible)
        verify(!child(view, "applicationsEmptyState").visible)
    }

    function test_dividersOnlyBetweenRows_data() {
        return [ { tag: "one row", rows: 1, dividers: 0 }, { tag: "two rows", rows: 2, dividers: 1 } ]
    }

    function test_dividersOnlyBetweenRows(row) {
        for (let index = 0; index < row.rows; ++index) {
            fixture.addApplication("App" + index, "com.example.app" + index)
            fixture.addEvent("com.example.app" + index, "example.com", "443", 2, 30 + index)
        }
        start("enabled")
        const view = makeView()
        // Rows beyond the viewport are made when the list has time for them.
        tryVerify(() => visibleItems(view, "applicationRow") === row.rows)
        compare(visibleItems(view, "activityDivider"), row.dividers)
        compare(visibleItems(view, "applicationDivider"), row.dividers)
    }

    function test_scrollBarOnlyWhenTheContentScrolls() {
        start("enabled")
        // Tall enough for the empty window's content.
        let view = createTemporaryObject(contentComponent, stage, { store: fixture.store, height: 1000 })
        waitForRendering(view)
        const bar = child(view, "mainScrollBar")
        verify(!bar.visible, "nothing to scroll")
        view.destroy()

        fixture.reset()
        fixture.setHasCompletedOnboarding(true)
        fixture.addApplication("Mail", "com.example.mail")
        for (let index = 0; index < 12; ++index)
            fixture.addEvent("com.example.mail", "host" + index + ".example.com", "443", 1, 10 + index)
        start("enabled")
        view = makeView()
        tryVerify(() => child(view, "mainScrollBar").visible, 1000, "twelve rows scroll")
    }

    function test_expandedListsSurviveChangesOfTheList() {
        fixture.addApplication("Mail", "com.example.mail", 2)
        fixture.addApplication("Radio", "com.example.radio")
        fixture.addApplication("Suite", "com.example.suite", 1)
        start("enabled")
        const view = makeView()
        tryVerify(() => visibleItems(view, "applicationRow") === 3)
        const rowOf = (name) => {
            const list = child(view, "scrollArea")
            for (let index = 0; index < list.count; ++index) {
                const slot = list.itemAtIndex(index)
                const row = slot ? findChild(slot, "applicationRow") : null
                if (row && row.entry.name === name)
                    return row
            }
            return null
        }
        mouseClick(findChild(rowOf("Mail"), "summaryButton"))
        verify(findChild(rowOf("Mail"), "componentList"))
        // The list learns the rows' heights as it makes them: scroll until the row is shown.
        tryVerify(() => {
            scrollToEnd(view)
            const row = rowOf("Suite")
            return row !== null && row.mapToItem(view, 0, row.height).y <= view.height
        })
        mouseClick(findChild(rowOf("Suite"), "summaryButton"))
        verify(findChild(rowOf("Suite"), "componentList"))
        child(view, "scrollArea").positionViewAtBeginning()
        waitForRendering(view)

        // Removing another application makes the rows anew; the open lists stay open.
        mouseClick(findChild(rowOf("Radio"), "removeButton"))
        tryVerify(() => visibleItems(view, "applicationRow") === 2)
        verify(findChild(rowOf("Mail"), "componentList"), "Mail's list stayed open")
        tryVerify(() => {
            scrollToEnd(view)
            const row = rowOf("Suite")
            return row !== null && row.mapToItem(view, 0, row.height).y <= view.height
        })
        verify(findChild(rowOf("Suite"), "componentList"), "Suite's list stayed open")
    }

    function test_activityRowShowsTheEvent() {
        fixture.addApplication("Mail", "com.example.mail")
        fixture.addEvent("com.example.mail", "imap.example.com", "993", 42, 125)
        start("enabled")
        const view = makeView()
        compare(visibleItems(view, "activityRow"), 1)
        const row = child(view, "activityRow")
        verify(findTextIn(row, "Mail"))
        verify(findTextIn(row, "imap.example.com:993"))
        verify(findTextIn(row, "42"))
        verify(findTextIn(row, "2 min, 5 sec"))
    }

    function findTextIn(item, text) {
        if (item.text === text && item.visible)
            return true
        const children = item.children || []
        for (let index = 0; index < children.length; ++index) {
            if (findTextIn(children[index], text))
                return true
        }
        return false
    }

    function test_failureLineUnderTheList() {
        fixture.setProtectionRequested(true)
        start("failed", "The filter configuration could not be saved.")
        let view = makeView()
        verify(child(view, "failureLine").visible)
        compare(child(view, "failureText").text, "The filter configuration could not be saved.")
        verify(fixture.setFilterStatus("enabled"))
        verify(!child(view, "failureLine").visible)
    }

    // MARK: getting started

    function test_gettingStartedOpensOncePerInstallation() {
        fixture.setHasCompletedOnboarding(false)
        start("enabled")
        let view = makeView()
        const sheet = child(view, "onboardingSheet")
        tryCompare(sheet, "opened", true)
        const guide = sheet.contentItem.item
        verify(guide !== null)
        guide.finish()
        tryCompare(sheet, "visible", false)
        verify(!view.showingOnboarding)

        // Finished once: a new window does not show it, the help button does.
        view.destroy()
        view = makeView()
        const again = child(view, "onboardingSheet")
        wait(50)
        verify(!again.visible)
        mouseClick(child(view, "helpButton"))
        tryCompare(again, "opened", true)
    }

    function test_closingTheSheetWithoutFinishingLeavesItDue() {
        fixture.setHasCompletedOnboarding(false)
        start("enabled")
        let view = makeView()
        const sheet = child(view, "onboardingSheet")
        tryCompare(sheet, "opened", true)
        sheet.close()
        tryCompare(sheet, "visible", false)
        view.destroy()
        view = makeView()
        tryCompare(child(view, "onboardingSheet"), "opened", true)
    }

    function test_guideGetsTheFactsOfTheMomentItOpens() {
        fixture.setHasCompletedOnboarding(false)
        fixture.setProtectionRequested(true)
        start("enabled")
        fixture.setInApplicationsFolder(false)
        const view = makeView()
        const sheet = child(view, "onboardingSheet")
        tryCompare(sheet, "opened", true)
        compare(sheet.contentItem.item.isInApplicationsFolder, false)
        compare(sheet.contentItem.item.isProtectionActive, true)
    }
}
}
