pragma Singleton
import QtQuick

// The platform styles the views name (title-2, headline, secondary, quaternary, ...) mapped
// once onto Qt fonts and the system palette.
//
// Sizes are logical pixels chosen for Linux desktops, whose default text is 13 to 15 px: body
// 14, nothing under 11. The system colours keep their light and dark variants; the label, fill
// and separator styles are the window text colour at fixed opacities, so they follow whatever
// palette the desktop gives, light or dark. The secondary style's opacity is high enough for a
// contrast of 4.5:1 on the window and on every plate drawn under secondary text (quaternary
// fills, banner tints, settings groups) with the common desktop palettes.
QtObject {
    id: theme

    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property bool isDark: palette.window.hslLightness < 0.5

    // MARK: fonts
    readonly property string fontFamily: Qt.application.font.family
    readonly property int titleSize: 22
    readonly property int title2Size: 18
    readonly property int headlineSize: 14
    readonly property int bodySize: 14
    readonly property int subheadlineSize: 13
    readonly property int captionSize: 12
    readonly property int caption2Size: 11

    readonly property font title: Qt.font({ family: fontFamily, pixelSize: titleSize })
    readonly property font title2: Qt.font({ family: fontFamily, pixelSize: title2Size })
    readonly property font headline: Qt.font({ family: fontFamily, pixelSize: headlineSize,
                                               weight: Font.DemiBold })
    readonly property font body: Qt.font({ family: fontFamily, pixelSize: bodySize })
    readonly property font subheadline: Qt.font({ family: fontFamily, pixelSize: subheadlineSize })
    readonly property font caption: Qt.font({ family: fontFamily, pixelSize: captionSize })
    readonly property font caption2: Qt.font({ family: fontFamily, pixelSize: caption2Size })
    readonly property string monospacedFamily: "monospace"

    // MARK: colours
    readonly property color label: palette.windowText
    readonly property color accent: palette.highlight
    // Text and symbols drawn on the accent colour: white, as desktops draw it, unless the accent
    // is too light for white to read on it (3:1, the least for a control's label).
    readonly property color textOnAccent: (1.05 / (luminance(accent) + 0.05)) >= 3 ? "white" : "black"
    readonly property color blue: isDark ? "#0a84ff" : "#007aff"
    readonly property color orange: isDark ? "#ff9f0a" : "#ff9500"
    readonly property color red: isDark ? "#ff453a" : "#ff3b30"
    readonly property color green: isDark ? "#30d158" : "#34c759"
    // Orange and red for text: the fills' shades are too light to read as text on a light
    // window (or too dark on a dark one).
    readonly property color orangeText: isDark ? "#ffb340" : "#a33b00"
    readonly property color redText: isDark ? "#ff8a80" : "#c4001a"
    readonly property color secondary: withAlpha(label, isDark ? 0.75 : 0.76)
    readonly property color quaternary: withAlpha(label, isDark ? 0.1 : 0.07)
    readonly property color separator: withAlpha(label, isDark ? 0.3 : 0.2)
    // A settings group's plate.
    readonly property color groupFill: withAlpha(label, isDark ? 0.06 : 0.03)
    readonly property color windowBackground: palette.window
    // Menus, alerts and sheets: lifted off the window they stand over.
    readonly property color popupBackground: isDark ? Qt.lighter(palette.window, 1.3) : palette.base
    readonly property color popupBorder: withAlpha(label, isDark ? 0.25 : 0.15)
    // Dims the window under a modal alert or sheet.
    readonly property color dimming: Qt.rgba(0, 0, 0, isDark ? 0.45 : 0.25)
    // The header's translucent material: the window colour lifted towards the base colour.
    readonly property color material: Qt.tint(palette.window, withAlpha(palette.base, 0.55))

    // WCAG 2 relative luminance of an opaque colour.
    function luminance(colour) {
        const linear = (value) => value <= 0.03928 ? value / 12.92
                                                   : Math.pow((value + 0.055) / 1.055, 2.4)
        return 0.2126 * linear(colour.r) + 0.7152 * linear(colour.g) + 0.0722 * linear(colour.b)
    }

    function withAlpha(base, alpha) {
        return Qt.rgba(base.r, base.g, base.b, base.a * alpha)
    }

    // A named style ("secondary", "orange", "green", "red", "blue") as a colour.
    function tone(name) {
        switch (name) {
        case "orange": return orange
        case "green": return green
        case "red": return red
        case "blue": return blue
        default: return secondary
        }
    }
}
