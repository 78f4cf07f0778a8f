import QtQuick
import QtTest
import Zorvane.Ui

// The theme under the colour schemes of common Linux desktops: secondary text stays readable
// on every plate it is drawn on, the views follow a palette change, and no text is too small.
Item {
    id: stage
    width: 760
    height: 650

    Component {
        id: contentComponent
        ContentView { width: 760; height: 650 }
    }
    Component {
        id: settingsComponent
        SettingsView { width: 460; height: 600 }
    }

TestCase {
    id: testCase
    name: "Theme"
    when: windowShown

    function init() {
        fixture.reset()
        fixture.setHasCompletedOnboarding(true)
    }

    function cleanupTestCase() {
        fixture.usePalette("default")
        wait(50)
    }

    // WCAG 2 relative luminance and contrast ratio.
    function channel(value) {
        return value <= 0.03928 ? value / 12.92 : Math.pow((value + 0.055) / 1.055, 2.4)
    }
    function luminance(colour) {
        return 0.2126 * channel(colour.r) + 0.7152 * channel(colour.g) + 0.0722 * channel(colour.b)
    }
    function contrast(lhs, rhs) {
        const a = luminance(lhs)
        const b = luminance(rhs)
        return (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05)
    }
    // A translucent colour painted over an opaque one.
    function over(top, bottom) {
        const alpha = top.a
        return Qt.rgba(top.r * alpha + bottom.r * (1 - alpha),
                       top.g * alpha + bottom.g * (1 - alpha),
                       top.b * alpha + bottom.b * (1 - alpha), 1)
    }

    function test_secondaryTextContrast_data() {
        return fixture.paletteNames().map(name => ({ tag: name, palette: name }))
    }

    function test_secondaryTextContrast(row) {
        verify(fixture.usePalette(row.palette))
        compare(Theme.isDark, row.palette.endsWith("-dark"))
        const window = Theme.windowBackground
        // Every surface the views put secondary text on.
        const plates = {
            "window": window,
            "header": over(Theme.material, window),
            "empty state": over(Theme.quaternary, window),
            "settings group": over(Theme.groupFill, window),
            "update banner": over(Theme.withAlpha(Theme.blue, 0.08), window),
            "drop zone": over(Theme.withAlpha(Theme.blue, 0.06), window),
        }
        // The labels of prominent buttons and highlighted menu items on the accent colour.
        const onAccent = contrast(Theme.textOnAccent, Theme.accent)
        verify(onAccent >= 3, row.palette + ", text on accent: " + onAccent.toFixed(2) + ":1")
        // Warnings and counts in orange and red, on their own tints and on the window.
        const tinted = {
            "installation banner": [Theme.orangeText, over(Theme.withAlpha(Theme.orange, 0.09), window)],
            "allowed badge": [Theme.orangeText, over(Theme.withAlpha(Theme.orange, 0.1), window)],
            "blocked badge": [Theme.redText, over(Theme.withAlpha(Theme.red, 0.09), window)],
            "failure line": [Theme.orangeText, window],
            "attempt count": [Theme.redText, window],
        }
        for (const name in tinted) {
            const ratio = contrast(tinted[name][0], tinted[name][1])
            verify(ratio >= 4.5, row.palette + ", " + name + ": " + ratio.toFixed(2) + ":1")
        }
        for (const name in plates) {
            const plate = plates[name]
            const ratio = contrast(over(Theme.secondary, plate), plate)
            verify(ratio >= 4.5, row.palette + ", " + name + ": " + ratio.toFixed(2) + ":1")
        }
    }

    function test_viewsFollowTheDesktopPalette() {
        verify(fixture.usePalette("adwaita-light"))
        fixture.addApplication("Mail", "com.example.mail", 1)
        verify(fixture.start())
        verify(fixture.setFilterStatus("enabled"))
        const view = createTemporaryObject(contentComponent, stage, { store: fixture.store })
        const settings = createTemporaryObject(settingsComponent, stage, { store: fixture.store })
        waitForRendering(view)
        verify(!Theme.isDark)
        const lightLabel = String(Theme.label)

        verify(fixture.usePalette("breeze-dark"))
        verify(Theme.isDark)
        compare(String(view.color), "#31363b")
        compare(String(settings.background.color), "#31363b")
        compare(String(findChild(view, "applicationName").color), "#eff0f1")
        verify(String(Theme.label) !== lightLabel)

        // What pops up over the views is drawn in the palette too, not in a stock light plate.
        fixture.store.alertMessage = "Something to say."
        const alert = findChild(view, "alert")
        tryVerify(() => alert.opened)
        verify(luminance(alert.background.color) < 0.1, "alert plate " + alert.background.color)
        verify(luminance(findChild(alert, "alertMessage").color) > 0.5)
        alert.close()
        tryVerify(() => !alert.visible)
        findChild(view, "scrollArea").positionViewAtEnd()
        tryVerify(() => findChild(view, "accessBadge") !== null)
        const row = findChild(view, "applicationRow")
        mouseClick(findChild(row, "accessBadge"))
        let opened = null
        tryVerify(() => {
            opened = findAccessMenu(row)
            return opened !== null && opened.opened
        })
        verify(luminance(opened.background.color) < 0.1, "menu plate " + opened.background.color)
        verify(luminance(opened.itemAt(0).contentItem.color) > 0.5)
        opened.close()

        verify(fixture.usePalette("adwaita-light"))
        verify(!Theme.isDark)
        compare(String(view.color), "#f6f5f4")
        compare(String(findChild(view, "applicationName").color), "#2e3436")
    }

    // The open access menu of the blocked-app row under `item`.
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

    // Every text item under `item` that is shown, apart from symbol glyphs.
    function texts(item, found) {
        if (item.visible === false)
            return found
        if (item.text !== undefined && item.font !== undefined && item.font.family !== Symbols.fontFamily
                && String(item.text).length > 0)
            found.push(item)
        const children = item.children || []
        for (let index = 0; index < children.length; ++index)
            texts(children[index], found)
        if (item.contentItem && item.contentItem.parent !== item)
            texts(item.contentItem, found)
        return found
    }

    function checkSizes(root) {
        const found = texts(root, [])
        verify(found.length > 10, "found " + found.length + " texts")
        for (const text of found) {
            const pixels = text.font.pixelSize > 0 ? text.font.pixelSize : text.font.pointSize * 96 / 72
            verify(pixels >= 11, "\"" + text.text + "\" is drawn at " + pixels + " px")
        }
    }

    function test_noTextUnderElevenPixels() {
        const mail = fixture.addApplication("Mail", "com.example.mail", 2)
        fixture.addEvent("com.example.mail", "imap.example.com", "993", 3, 30)
        fixture.setAvailableUpdate("9.0", "")
        fixture.setProtectionRequested(true)
        verify(fixture.start())
        verify(fixture.setFilterStatus("awaitingApproval"))
        const view = createTemporaryObject(contentComponent, stage, { store: fixture.store })
        waitForRendering(view)
        checkSizes(view)
        // The banners push the list below the fold; its rows are made once it is on screen.
        findChild(view, "scrollArea").positionViewAtEnd()
        tryVerify(() => findChild(view, "summaryButton") !== null)
        mouseClick(findChild(view, "summaryButton"))
        waitForRendering(view)
        checkSizes(view)
        const settings = createTemporaryObject(settingsComponent, stage, { store: fixture.store })
        waitForRendering(settings)
        checkSizes(settings)
    }
}
}
