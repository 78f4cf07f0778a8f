import QtQuick
import QtTest
import Zorvane.Ui

// The application rows and the drop zone against a real store.
TestCase {
    id: testCase
    name: "Rows"
    when: windowShown
    // TestCase is hidden by default; the views under test must be shown to take input.
    visible: true
    width: 640
    height: 600

    Component { id: applicationsComponent; ApplicationListModel {} }

    // The rows as the main window lists them: bound to the model, so they follow the store.
    Component {
        id: rowsComponent
        Column {
            property alias model: repeater.model
            property alias repeater: repeater
            width: testCase.width
            Repeater {
                id: repeater
                delegate: BlockedAppRow {
                    required property var entry
                    width: testCase.width
                    store: fixture.store
                    application: entry
                    animationDuration: 0
                }
            }
        }
    }

    Component {
        id: rowComponent
        BlockedAppRow { width: testCase.width; store: fixture.store; animationDuration: 0 }
    }

    Component {
        id: dropZoneComponent
        DropZoneView { width: 500; store: fixture.store; animationDuration: 0 }
    }

    function init() {
        fixture.reset()
    }

    function rowsFor(store) {
        const model = createTemporaryObject(applicationsComponent, testCase, { store: store })
        const rows = createTemporaryObject(rowsComponent, testCase, { model: model })
        return rows.repeater
    }

    // A hand-made entry in the model's form, for states the store cannot reach.
    function entry(fields) {
        const base = { id: "0C9A2A1E-1111-4111-8111-000000000001", name: "Tool",
                       bundleIdentifier: "com.example.tool", path: "/Applications/Tool.app",
                       iconSource: "", grantState: "none", isRunning: false,
                       blockedAttemptCount: 0, componentCount: 0, components: [] }
        for (const key in fields)
            base[key] = fields[key]
        base.componentCount = base.components.length
        return base
    }

    function component(name, signing, team, kind) {
        return { id: kind + "|" + signing, name: name, signingIdentifier: signing,
                 teamIdentifier: team, executablePath: "", kind: kind,
                 kindText: kind === "main" ? "Main app" : kind === "bundled" ? "Bundled" : "Observed" }
    }

    // Colours with an alpha lose precision on their way into a Text; compare what is drawn.
    function sameColor(lhs, rhs) {
        return String(lhs) === String(rhs)
    }

    function visibleText(item, objectName) {
        const child = findChild(item, objectName)
        return child && child.visible ? child.text : null
    }

    function test_summaryLine() {
        // Every listed application carries at least its main executable.
        fixture.addApplication("Chat", "com.example.chat")
        verify(fixture.start())
        const chat = rowsFor(fixture.store).itemAt(0)
        compare(visibleText(chat, "processCountText"), "1 network process")
        verify(!findChild(chat, "blockedAttempts").visible)

        // Without processes the attempts alone make the line, with nothing to expand.
        const quiet = createTemporaryObject(rowComponent, testCase,
                                            { application: entry({ blockedAttemptCount: 2 }) })
        verify(findChild(quiet, "summaryLine").visible)
        compare(visibleText(quiet, "blockedAttemptsText"), "2 blocked attempts")
        verify(!findChild(quiet, "summaryButton").visible)

        // Neither: no divider and no line at all.
        const bare = createTemporaryObject(rowComponent, testCase, { application: entry({}) })
        verify(!findChild(bare, "summaryLine").visible)
        verify(!findChild(bare, "summaryDivider").visible)
    }

    function test_componentList() {
        fixture.addApplication("Mail", "com.example.mail", 2)
        fixture.addApplication("Suite", "com.example.suite", 9)
        fixture.addEvent("com.example.mail.helper1", "smtp.example.com", "587", 1)
        verify(fixture.start())
        const rows = rowsFor(fixture.store)
        const mailRow = rows.itemAt(0)
        const suiteRow = rows.itemAt(1)
        compare(visibleText(mailRow, "blockedAttemptsText"), "1 blocked attempt")

        // Starts collapsed; the summary button expands it.
        compare(findChild(mailRow, "componentsLoader").item, null)
        mouseClick(findChild(mailRow, "summaryButton"))
        const mailList = findChild(mailRow, "componentList")
        verify(mailList)
        compare(mailList.count, 3)
        compare(mailList.height, 129)
        compare(findChild(mailRow, "chevron").rotation, 90)

        mouseClick(findChild(suiteRow, "summaryButton"))
        const suiteList = findChild(suiteRow, "componentList")
        compare(suiteList.count, 10)
        compare(suiteList.height, 260)
        verify(suiteList.contentHeight > suiteList.height)
        mouseWheel(suiteList, suiteList.width / 2, suiteList.height / 2, 0, -240)
        tryVerify(() => suiteList.contentY > 0 && !suiteList.moving)

        // New activity updates the row in place: the list stays open where it was, with the
        // same rows.
        const scrolled = suiteList.contentY
        const shownRow = suiteList.itemAt(20, scrolled + 20)
        verify(shownRow)
        fixture.reportEvent("com.example.suite", "api.example.com", "443", 4)
        tryCompare(findChild(suiteRow, "blockedAttemptsText"), "text", "4 blocked attempts")
        compare(findChild(suiteRow, "componentList"), suiteList)
        compare(suiteList.contentY, scrolled)
        compare(suiteList.itemAt(20, scrolled + 20), shownRow)

        // Collapsing removes the list.
        mouseClick(findChild(mailRow, "summaryButton"))
        tryCompare(findChild(mailRow, "componentsLoader"), "item", null)
        compare(findChild(mailRow, "chevron").rotation, 0)
    }

    function test_componentRows() {
        const row = createTemporaryObject(rowComponent, testCase, { application: entry({
            components: [component("Tool", "com.example.tool", "TEAM123456", "main"),
                         component("agent", "com.example.agent", "", "observed")] }) })
        mouseClick(findChild(row, "summaryButton"))
        const list = findChild(row, "componentList")
        compare(list.count, 2)
        list.forceLayout()
        const main = list.itemAtIndex(0)
        const observed = list.itemAtIndex(1)
        compare(findChild(main, "componentIdentity").text, "com.example.tool · Team TEAM123456")
        compare(findChild(observed, "componentIdentity").text, "com.example.agent")
        compare(findChild(main, "kindText").text, "Main app")
        compare(findChild(observed, "kindText").text, "Observed")
        verify(sameColor(findChild(observed, "kindText").color, Theme.blue))
        verify(sameColor(findChild(main, "kindText").color, Theme.secondary))
    }

    function test_accessMenu() {
        const chat = fixture.addApplication("Chat", "com.example.chat")
        fixture.setProtectionRequested(true)
        verify(fixture.start())
        verify(fixture.setFilterStatus("enabled"))
        const row = rowsFor(fixture.store).itemAt(0)
        compare(findChild(row, "badgeText").text, "Blocked")
        verify(sameColor(findChild(row, "badgeText").color, Theme.redText))

        // Not running: the until-quit item is there but cannot be chosen.
        mouseClick(findChild(row, "accessBadge"))
        let menu = row.accessMenu
        verify(menu)
        tryVerify(() => menu.opened)
        compare(menu.count, 3)
        compare(menu.itemAt(0).text, "Allow for 5 Minutes")
        compare(menu.itemAt(1).text, "Allow for 1 Hour")
        compare(menu.itemAt(2).text, "Allow Until App Quits")
        verify(!menu.itemAt(2).enabled)
        menu.close()
        tryCompare(row, "accessMenu", null)

        // The menu is built when it opens, so it follows the application starting.
        fixture.setRunning("com.example.chat", true)
        menu = row.openAccessMenu()
        verify(menu.itemAt(2).enabled)

        mouseClick(menu.itemAt(0))
        tryCompare(findChild(row, "badgeText"), "text", "Allowed temporarily")
        verify(sameColor(findChild(row, "badgeText").color, Theme.orangeText))
        compare(fixture.store.temporaryAccessGrants.length, 1)
        compare(fixture.store.temporaryAccessGrants[0].applicationID, chat)

        menu = row.openAccessMenu()
        tryVerify(() => menu.opened)
        compare(menu.count, 1)
        compare(menu.itemAt(0).text, "Block Again Now")
        mouseClick(menu.itemAt(0))
        tryCompare(findChild(row, "badgeText"), "text", "Blocked")
        compare(fixture.store.temporaryAccessGrants.length, 0)
    }

    function test_removeButton() {
        fixture.addApplication("Chat", "com.example.chat")
        fixture.addApplication("Mail", "com.example.mail")
        verify(fixture.start())
        const rows = rowsFor(fixture.store)
        mouseClick(findChild(rows.itemAt(0), "removeButton"))
        tryCompare(rows, "count", 1)
        compare(fixture.store.applications[0].name, "Mail")
    }

    function test_dropAddsTheFirstFileOnly() {
        verify(fixture.start())
        const zone = createTemporaryObject(dropZoneComponent, testCase)
        verify(fixture.drop(zone, ["file:///home/tester/Chat.app", "file:///home/tester/Mail.app",
                                   "file:///home/tester/Notes.app"]))
        compare(fixture.store.isDropTargeted, false)
        tryCompare(fixture.store, "isAddingApplication", false)
        compare(fixture.inspectedPaths(), ["/home/tester/Chat.app"])
        // The inspection's verdict reaches the user through the store's alert.
        verify(fixture.store.alertMessage.length > 0)
    }

    function test_dropRefusedWithoutFiles() {
        verify(fixture.start())
        const zone = createTemporaryObject(dropZoneComponent, testCase)
        verify(!fixture.dragEnter(zone, ["https://example.com/Chat.app"]))
        compare(fixture.store.isDropTargeted, false)
        verify(!fixture.drop(zone, ["https://example.com/Chat.app"]))
        verify(!fixture.drop(zone, []))
        compare(fixture.inspectedPaths(), [])
        compare(fixture.store.alertMessage, "")
    }

    function test_hoverAndProgress() {
        verify(fixture.start())
        const zone = createTemporaryObject(dropZoneComponent, testCase)
        const fill = findChild(zone, "dropZoneFill")
        compare(zone.Accessible.name, "Drop zone for an application")

        verify(fixture.dragEnter(zone, ["file:///home/tester/Chat.app"]))
        compare(fixture.store.isDropTargeted, true)
        verify(sameColor(fill.fillColor, Theme.blue))
        // On the blue fill the title, symbol and subtitle turn white, still readable.
        verify(sameColor(findChild(zone, "dropTitle").color, "#ffffff"))
        verify(sameColor(findChild(zone, "dropSymbol").color, "#ffffff"))
        verify(sameColor(findChild(zone, "dropSubtitle").color, Qt.rgba(1, 1, 1, 0.85)))
        // 1 % larger about the centre, drawn at that size.
        const plate = findChild(zone, "dropZonePlate")
        fuzzyCompare(plate.width, zone.width * 1.01, 0.02)
        fuzzyCompare(plate.x + plate.width / 2, zone.width / 2, 0.02)
        fixture.dragLeave(zone)
        compare(fixture.store.isDropTargeted, false)

        // While an inspection runs a second drop is refused and the zone does not light up.
        fixture.holdInspections(true)
        verify(fixture.drop(zone, ["file:///home/tester/Chat.app"]))
        tryCompare(fixture.store, "isAddingApplication", true)
        compare(findChild(zone, "dropTitle").text, "Adding app…")
        compare(findChild(zone, "dropSubtitle").text,
                "Discovering helpers and background processes without blocking the interface.")
        verify(findChild(zone, "progress").visible)
        compare(zone.Accessible.name, "Adding application")

        fixture.dragEnter(zone, ["file:///home/tester/Mail.app"])
        compare(fixture.store.isDropTargeted, false)
        verify(!sameColor(fill.fillColor, Theme.blue))
        verify(!fixture.drop(zone, ["file:///home/tester/Mail.app"]))

        fixture.holdInspections(false)
        tryCompare(fixture.store, "isAddingApplication", false)
        compare(fixture.inspectedPaths(), ["/home/tester/Chat.app"])
        compare(findChild(zone, "dropTitle").text, "Drop an app here")
        verify(!findChild(zone, "progress").visible)
    }
}
