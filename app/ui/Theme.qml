pragma Singleton
import QtQuick

// The platform styles the views name (title-2, headline, secondary, quaternary, ...) mapped
// once onto Qt fonts and the system palette.
//
// Sizes are the desktop defaults of the platform the design was made for, in logical pixels
// (one point = one pixel): title 22, title-2 17, headline 13 semibold, body 13, subheadline 11,
// caption 10, caption-2 10. The system colours keep their light and dark variants; the
// label, fill and separator styles are the window text colour at the platform's opacities, so
// they read on both light and dark palettes.
QtObject {
    id: theme

    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property bool isDark: palette.window.hslLightness < 0.5

    // MARK: fonts
    readonly property string fontFamily: Qt.application.font.family
    readonly property int titleSize: 22
    readonly property int title2Size: 17
    readonly property int headlineSize: 13
    readonly property int bodySize: 13
    readonly property int subheadlineSize: 11
    readonly property int captionSize: 10
    readonly property int caption2Size: 10

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
    readonly property color blue: isDark ? "#0a84ff" : "#007aff"
    readonly property color orange: isDark ? "#ff9f0a" : "#ff9500"
    readonly property color red: isDark ? "#ff453a" : "#ff3b30"
    readonly property color green: isDark ? "#30d158" : "#34c759"
    readonly property color secondary: withAlpha(label, isDark ? 0.55 : 0.5)
    readonly property color quaternary: withAlpha(label, isDark ? 0.18 : 0.08)
    readonly property color separator: withAlpha(label, isDark ? 0.3 : 0.2)
    readonly property color windowBackground: palette.window
    // The header's translucent material: the window colour lifted towards the base colour.
    readonly property color material: Qt.tint(palette.window, withAlpha(palette.base, 0.55))

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
