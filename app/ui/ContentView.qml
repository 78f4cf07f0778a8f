import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zorvane.Ui

// The main window: the header with the protection switch, then one scrolling column with the
// banners, the drop zone, the recent activity and the blocked applications. Everything shown is
// read from the store; every control calls one operation of the store or its controllers.
Rectangle {
    id: root

    required property var store

    // The getting-started sheet is up.
    property bool showingOnboarding: false
    // "Now" for the relative times, moved on once a second while the window shows.
    property date now: support.now()

    readonly property var updateController: store ? store.updateController : null
    readonly property bool isUpdateBannerShown: updateController !== null
                                                && updateController.availableUpdate.version !== undefined
                                                && updateController.isBannerVisible

    implicitWidth: 760
    implicitHeight: 650
    color: Theme.windowBackground

    ViewSupport { id: support }
    ProtectionStatus { id: protection; store: root.store }
    ApplicationListModel { id: applicationsModel; store: root.store }
    RecentActivityModel { id: activityModel; store: root.store }
    MainWindowRows { id: mainRows; activity: activityModel; applications: applicationsModel }

    Timer {
        interval: 1000
        repeat: true
        running: root.visible && activityModel.count > 0
        onTriggered: root.now = support.now()
    }

    Component.onCompleted: {
        if (!support.hasCompletedOnboarding)
            showingOnboarding = true
        if (store && store.alertMessage !== "")
            alert.open()
    }

    // The scene became active: the store refreshes the filter state, so the banners follow what
    // the user did in the system's settings meanwhile.
    property bool isSceneActive: Window.active
    onIsSceneActiveChanged: {
        if (isSceneActive && store)
            store.handleBecameActive()
    }

    onShowingOnboardingChanged: showingOnboarding ? onboardingSheet.open() : onboardingSheet.close()

    // Closing the window only hides it; shown again, it offers the unfinished guide again, as a
    // new window would.
    readonly property bool isWindowShown: Window.window !== null && Window.window.visible
    onIsWindowShownChanged: {
        if (isWindowShown && !support.hasCompletedOnboarding)
            showingOnboarding = true
    }

    // MARK: building blocks

    component SectionTitle: RowLayout {
        id: sectionTitle
        property string title
        property string caption
        property int count
        property string countName
        property bool baselineAligned: false
        spacing: 8

        Text {
            text: sectionTitle.title
            font: Theme.headline
            color: Theme.label
            Layout.alignment: sectionTitle.baselineAligned ? Qt.AlignBaseline : Qt.AlignVCenter
        }
        Text {
            visible: sectionTitle.caption !== ""
            text: sectionTitle.caption
            font: Theme.caption
            color: Theme.secondary
            Layout.alignment: sectionTitle.baselineAligned ? Qt.AlignBaseline : Qt.AlignVCenter
        }
        Item { Layout.fillWidth: true }
        Rectangle {
            implicitWidth: countText.implicitWidth + 18
            implicitHeight: countText.implicitHeight + 8
            radius: height / 2
            color: Theme.quaternary
            Layout.alignment: Qt.AlignVCenter
            Text {
                id: countText
                objectName: sectionTitle.countName
                anchors.centerIn: parent
                text: String(sectionTitle.count)
                font.pixelSize: Theme.captionSize
                font.bold: true
                color: Theme.secondary
            }
        }
    }

    component Banner: Rectangle {
        id: banner
        property color tone: Theme.blue
        property real fillOpacity: 0.08
        property real strokeOpacity: 0.25
        property real padding: 16
        default property alias content: body.data
        Layout.fillWidth: true
        implicitHeight: body.implicitHeight + 2 * padding
        radius: 16
        color: Theme.withAlpha(tone, fillOpacity)
        border.width: 1
        border.color: Theme.withAlpha(tone, strokeOpacity)
        Item {
            id: body
            anchors.fill: parent
            anchors.margins: banner.padding
            implicitHeight: childrenRect.height
        }
    }

    component PushButton: Button {
        id: pushButton
        property bool prominent: false
        font: Theme.body
        leftPadding: 12
        rightPadding: 12
        topPadding: 5
        bottomPadding: 5
        contentItem: Text {
            text: pushButton.text
            font: pushButton.font
            color: pushButton.prominent ? "white" : Theme.label
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
        background: Rectangle {
            radius: 6
            color: pushButton.prominent
                   ? (pushButton.down ? Qt.darker(Theme.blue, 1.15) : Theme.blue)
                   : (pushButton.down ? Theme.withAlpha(Theme.label, 0.16) : Theme.quaternary)
            border.width: pushButton.prominent ? 0 : 1
            border.color: Theme.separator
        }
    }

    component SymbolButton: AbstractButton {
        id: symbolButton
        property string symbol
        property real symbolSize: 13
        property int symbolWeight: Font.Normal
        property string toolTip
        hoverEnabled: true
        padding: 0
        contentItem: SymbolImage {
            name: symbolButton.symbol
            pointSize: symbolButton.symbolSize
            weight: symbolButton.symbolWeight
            color: Theme.secondary
            opacity: symbolButton.down ? 0.6 : 1
        }
        background: Item {}
        Accessible.name: toolTip
        ToolTip.text: toolTip
        ToolTip.visible: hovered && toolTip !== ""
        ToolTip.delay: 600
    }

    // The blocked-apps container's outline, drawn per row: each row shows the part of the one
    // rounded rectangle that lies behind it, so that the list can stay a virtualised view.
    component ListSlice: Item {
        id: slice
        property bool isFirst: true
        property bool isLast: true
        property real cornerRadius: 16
        clip: true
        Rectangle {
            x: 0
            width: parent.width
            y: slice.isFirst ? 0 : -slice.cornerRadius - 1
            height: parent.height + (slice.isFirst ? 0 : slice.cornerRadius + 1)
                    + (slice.isLast ? 0 : slice.cornerRadius + 1)
            radius: slice.cornerRadius
            color: Theme.windowBackground
            border.width: 1
            border.color: Theme.withAlpha(Theme.separator, 0.35)
        }
    }

    // MARK: rows of the main list

    // A recent-activity row, inside its part of the list's rounded outline. Anchors rather than
    // layouts: these rows are made and remade as the list scrolls.
    Component {
        id: activityRowComponent
        Item {
            id: activitySlot
            objectName: "activityRow"
            readonly property var entry: parent && parent.entry ? parent.entry : ({})
            readonly property bool isFirst: parent ? parent.isFirst : true
            readonly property bool isLast: parent ? parent.isLast : true
            readonly property string destination: activityRow.destination

            width: parent ? parent.width : 0
            height: activityRow.height

            ListSlice {
                x: 28
                width: parent.width - 56
                height: parent.height
                isFirst: activitySlot.isFirst
                isLast: activitySlot.isLast
                cornerRadius: 14
            }

            Item {
                id: activityRow
                x: 29
                width: parent.width - 58
                readonly property string processName: activitySlot.entry.processName ?? ""
                readonly property string destination: activitySlot.entry.destination ?? ""
                readonly property var blockedConnectionCount: activitySlot.entry.blockedConnectionCount ?? 0
                readonly property date lastSeenAt: activitySlot.entry.lastSeenAt ?? new Date(0)
                readonly property bool hasApplication: activitySlot.entry.hasApplication ?? false
                readonly property string applicationName: activitySlot.entry.applicationName ?? ""
                readonly property string iconSource: activitySlot.entry.iconSource ?? ""
                readonly property bool isLast: activitySlot.isLast

                implicitHeight: Math.max(hasApplication ? 32 : 0,
                                         hasApplication ? activityText.implicitHeight : 0,
                                         activityCount.implicitHeight) + 20
                                + (activityDivider.visible ? 1 : 0)
                height: implicitHeight

                // The content's vertical centre, above the divider.
                readonly property real middle:
                    (height - (activityDivider.visible ? 1 : 0)) / 2

                Image {
                    id: activityIcon
                    visible: activityRow.hasApplication
                    x: 14
                    y: Math.round(activityRow.middle - height / 2)
                    width: 32
                    height: 32
                    source: activityRow.iconSource !== ""
                            ? activityRow.iconSource : support.placeholderIconSource
                    sourceSize: Qt.size(64, 64)
                    asynchronous: true
                }

                Item {
                    id: activityText
                    visible: activityRow.hasApplication
                    x: activityIcon.x + activityIcon.width + 8
                    y: Math.round(activityRow.middle - height / 2)
                    width: Math.max(0, activityCount.x - 12 - x)
                    implicitHeight: applicationNameText.height + 3 + destinationText.height
                    height: implicitHeight

                    Text {
                        id: applicationNameText
                        width: Math.min(implicitWidth, parent.width)
                        text: activityRow.applicationName
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.subheadlineSize
                        font.weight: Font.Medium
                        color: Theme.label
                        elide: Text.ElideRight
                        maximumLineCount: 1
                    }
                    Text {
                        x: applicationNameText.width + 7
                        width: Math.max(0, parent.width - x)
                        anchors.baseline: applicationNameText.baseline
                        text: activityRow.processName
                        font: Theme.caption
                        color: Theme.secondary
                        elide: Text.ElideRight
                        maximumLineCount: 1
                    }
                    TextInput {
                        id: destinationText
                        y: applicationNameText.height + 3
                        width: parent.width
                        text: activityRow.destination
                        readOnly: true
                        selectByMouse: true
                        font.family: Theme.monospacedFamily
                        font.pixelSize: Theme.captionSize
                        color: Theme.label
                        selectionColor: Theme.accent
                        clip: true
                    }
                }

                Item {
                    id: activityCount
                    x: activityRow.width - 14 - width
                    y: Math.round(activityRow.middle - height / 2)
                    width: Math.max(countGlyph.width + 4 + countText.width, timeText.width)
                    implicitHeight: countText.height + 3 + timeText.height
                    height: implicitHeight

                    Text {
                        id: countText
                        anchors.right: parent.right
                        text: String(activityRow.blockedConnectionCount)
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.captionSize
                        font.weight: Font.Medium
                        color: Theme.red
                    }
                    Text {
                        id: countGlyph
                        anchors.right: countText.left
                        anchors.rightMargin: 4
                        anchors.verticalCenter: countText.verticalCenter
                        text: Symbols.glyph("hand.raised.fill")
                        font.family: Symbols.fontFamily
                        font.pixelSize: Theme.captionSize + 1
                        color: Theme.red
                    }
                    Text {
                        id: timeText
                        anchors.right: parent.right
                        y: countText.height + 3
                        text: support.relativeTime(activityRow.lastSeenAt, root.now)
                        font: Theme.caption2
                        color: Theme.secondary
                    }
                }

                Rectangle {
                    id: activityDivider
                    objectName: "activityDivider"
                    visible: !activityRow.isLast
                    anchors.left: parent.left
                    anchors.right: parent.right
                    anchors.bottom: parent.bottom
                    anchors.leftMargin: 50
                    height: 1
                    color: Theme.separator
                }
            }
        }
    }

    // A blocked application's row, inside its part of the list's rounded outline; one point
    // between rows, as the stack spaces them.
    Component {
        id: applicationRowComponent
        Item {
            id: applicationRow
            objectName: "applicationRow"
            readonly property var entry: parent && parent.entry ? parent.entry : ({})
            readonly property bool isFirst: parent ? parent.isFirst : true
            readonly property bool isLast: parent ? parent.isLast : true

            width: parent ? parent.width : 0
            height: row.implicitHeight + (applicationDivider.visible ? 1 : 0) + (isLast ? 0 : 1)

            ListSlice {
                x: 28
                width: parent.width - 56
                height: parent.height
                isFirst: applicationRow.isFirst
                isLast: applicationRow.isLast
                cornerRadius: 16
            }
            BlockedAppRow {
                id: row
                x: 29
                width: parent.width - 58
                store: root.store
                application: applicationRow.entry
            }
            Rectangle {
                id: applicationDivider
                objectName: "applicationDivider"
                visible: !applicationRow.isLast
                x: 28 + 62
                y: row.height
                width: parent.width - 56 - 62
                height: 1
                color: Theme.separator
            }
        }
    }

    // The blocked apps' title, and the empty state when there are none.
    Component {
        id: applicationsTitleComponent
        Item {
            width: parent ? parent.width : 0
            height: applicationsTitle.implicitHeight + 22
                    + (root.store && root.store.applicationCount > 0 ? 12 : 0)
            ColumnLayout {
                id: applicationsTitle
                x: 28
                y: 22
                width: parent.width - 56
                spacing: 12

                SectionTitle {
                    Layout.fillWidth: true
                    title: "Blocked apps"
                    count: root.store ? root.store.applicationCount : 0
                    countName: "applicationCount"
                }
                Rectangle {
                    objectName: "applicationsEmptyState"
                    visible: !root.store || root.store.applicationCount === 0
                    Layout.fillWidth: true
                    Layout.minimumHeight: 170
                    implicitHeight: emptyApplications.implicitHeight
                    radius: 16
                    color: Theme.quaternary
                    ColumnLayout {
                        id: emptyApplications
                        anchors.centerIn: parent
                        spacing: 10
                        SymbolImage {
                            Layout.alignment: Qt.AlignHCenter
                            name: "checkmark.shield"
                            pointSize: 30
                            weight: Font.Light
                            color: Theme.label
                        }
                        Text {
                            Layout.alignment: Qt.AlignHCenter
                            text: "No blocked apps"
                            font: Theme.headline
                            color: Theme.label
                        }
                        Text {
                            Layout.alignment: Qt.AlignHCenter
                            text: "Apps you add will appear here."
                            font: Theme.subheadline
                            color: Theme.secondary
                        }
                    }
                }
            }
        }
    }

    // MARK: layout

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        // The header.
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: header.implicitHeight + 24 + 18
            color: Theme.material
            z: 1

            RowLayout {
                id: header
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.leftMargin: 28
                anchors.rightMargin: 28
                anchors.topMargin: 24
                spacing: 13

                Image {
                    objectName: "ownIcon"
                    source: support.ownIconSource
                    sourceSize: Qt.size(92, 92)
                    Layout.preferredWidth: 46
                    Layout.preferredHeight: 46
                    smooth: true
                    mipmap: true
                }
                ColumnLayout {
                    spacing: 2
                    Text {
                        text: "Zorvane"
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.title2Size
                        font.bold: true
                        color: Theme.label
                    }
                    Text {
                        text: "Control which apps can access the network"
                        font: Theme.subheadline
                        color: Theme.secondary
                    }
                }
                Item { Layout.fillWidth: true }
                SymbolButton {
                    objectName: "helpButton"
                    symbol: "questionmark.circle"
                    symbolSize: 16
                    symbolWeight: Font.Medium
                    toolTip: "Show getting started"
                    implicitWidth: 28
                    implicitHeight: 28
                    onClicked: root.showingOnboarding = true
                }
                // The protection capsule.
                Rectangle {
                    implicitWidth: capsule.implicitWidth + 12 + 8
                    implicitHeight: capsule.implicitHeight + 14
                    radius: height / 2
                    color: Theme.withAlpha(Theme.windowBackground, 0.65)

                    RowLayout {
                        id: capsule
                        anchors.left: parent.left
                        anchors.leftMargin: 12
                        anchors.verticalCenter: parent.verticalCenter
                        spacing: 9

                        Rectangle {
                            objectName: "statusDot"
                            implicitWidth: 8
                            implicitHeight: 8
                            radius: 4
                            color: Theme.tone(protection.dotTone)
                            readonly property string tone: protection.dotTone
                        }
                        Text {
                            objectName: "statusText"
                            text: protection.text
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.subheadlineSize
                            font.weight: Font.Medium
                            color: Theme.label
                        }
                        Item {
                            implicitWidth: protectionSwitch.implicitWidth
                            implicitHeight: protectionSwitch.implicitHeight

                            ZorvaneSwitchToggleStyle {
                                id: protectionSwitch
                                objectName: "protectionSwitch"
                                anchors.fill: parent
                                isOn: protection.isRequested
                                enabled: protection.isSwitchEnabled
                                onToggled: (requested) => { root.store.isProtectionRequested = requested }
                            }
                            // While the copy runs outside the Applications folder, a tap on the
                            // disabled switch explains why it is disabled.
                            MouseArea {
                                objectName: "explainTapTarget"
                                anchors.fill: parent
                                visible: protection.isInstallationRequired
                                Accessible.role: Accessible.Button
                                Accessible.name: "Explain why protection is unavailable"
                                onClicked: root.store.explainProtectionUnavailable()
                            }
                        }
                    }
                }
            }
        }

        // The scroll area. The blocked applications are its rows, so that only the visible
        // ones exist; everything above them is the list's header.
        ListView {
            id: scrollArea
            objectName: "scrollArea"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: mainRows
            boundsBehavior: Flickable.StopAtBounds
            // Rows are cheap to make while scrolling; making many ahead slows the first frame.
            cacheBuffer: 120
            // A scroll area, not a selection: nothing is current, so nothing scrolls by itself.
            currentIndex: -1
            keyNavigationEnabled: false
            highlightFollowsCurrentItem: false

            // The header grows while it lays out and when banners come and go; a list at its
            // top stays at its top instead of keeping the first row in place.
            property bool sticksToTop: true
            property bool isAdjusting: false
            function keepTop() {
                if (!sticksToTop)
                    return
                isAdjusting = true
                contentY = originY
                isAdjusting = false
            }
            onOriginYChanged: keepTop()
            onContentHeightChanged: keepTop()
            onContentYChanged: {
                if (!isAdjusting)
                    sticksToTop = contentY <= originY + 0.5
            }

            // One hover tracker and tooltip for all activity rows: "Blocked <destination>" for
            // the row under the pointer.
            HoverHandler { id: listHover }
            ToolTip {
                id: activityToolTip
                readonly property var hoveredRow: listHover.hovered
                    ? scrollArea.itemAt(listHover.point.position.x + scrollArea.contentX,
                                        listHover.point.position.y + scrollArea.contentY)
                    : null
                readonly property string destination: hoveredRow && hoveredRow.kind === "activity"
                                                      ? hoveredRow.entry.destination : ""
                x: listHover.point.position.x
                y: listHover.point.position.y + 18
                text: "Blocked " + destination
                visible: destination !== ""
                delay: 600
            }
            ScrollBar.vertical: ScrollBar { policy: ScrollBar.AlwaysOn }

            header: ColumnLayout {
                width: ListView.view ? ListView.view.width : 0
                spacing: 22

                Item { Layout.preferredHeight: 28 - 22 }

                // Update banner.
                Banner {
                    objectName: "updateBanner"
                    visible: root.isUpdateBannerShown
                    tone: Theme.blue
                    fillOpacity: 0.08
                    strokeOpacity: 0.25
                    padding: 16
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28

                    RowLayout {
                        width: parent.width
                        spacing: 14
                        SymbolImage {
                            name: "arrow.down.circle.fill"
                            pointSize: 25
                            color: Theme.blue
                        }
                        ColumnLayout {
                            Layout.fillWidth: true
                            spacing: 3
                            Text {
                                objectName: "updateTitle"
                                Layout.fillWidth: true
                                text: root.isUpdateBannerShown
                                      ? "Zorvane " + root.updateController.availableUpdate.version + " is available"
                                      : ""
                                font: Theme.headline
                                color: Theme.label
                                elide: Text.ElideRight
                            }
                            Text {
                                objectName: "updateNotes"
                                Layout.fillWidth: true
                                readonly property string notes: root.isUpdateBannerShown
                                    && root.updateController.availableUpdate.releaseNotes !== undefined
                                    ? root.updateController.availableUpdate.releaseNotes : ""
                                text: notes !== "" ? notes : "A new version is ready to download."
                                font: Theme.subheadline
                                color: Theme.secondary
                                wrapMode: Text.Wrap
                                maximumLineCount: 2
                                elide: Text.ElideRight
                            }
                        }
                        PushButton {
                            objectName: "downloadUpdateButton"
                            text: "Download Update"
                            prominent: true
                            onClicked: root.updateController.openDownload()
                        }
                        SymbolButton {
                            objectName: "closeUpdateBannerButton"
                            symbol: "xmark"
                            symbolSize: 11
                            symbolWeight: Font.Bold
                            toolTip: "Remind me next time"
                            implicitWidth: 22
                            implicitHeight: 22
                            onClicked: root.updateController.isBannerVisible = false
                        }
                    }
                }

                // Installation banner.
                Banner {
                    objectName: "installationBanner"
                    visible: protection.isInstallationRequired
                    tone: Theme.orange
                    fillOpacity: 0.09
                    strokeOpacity: 0.28
                    padding: 18
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28

                    ColumnLayout {
                        width: parent.width
                        spacing: 12
                        RowLayout {
                            spacing: 6
                            SymbolImage {
                                name: "arrow.down.app.fill"
                                pointSize: Theme.headlineSize + 2
                                color: Theme.orange
                            }
                            Text {
                                text: "Finish installing Zorvane"
                                font: Theme.headline
                                color: Theme.orange
                            }
                        }
                        Text {
                            Layout.fillWidth: true
                            text: "macOS can only enable Zorvane's network extension when the app is in the Applications folder. Quit this copy, drag Zorvane from Downloads into Applications, then open it there."
                            font: Theme.subheadline
                            color: Theme.label
                            wrapMode: Text.Wrap
                        }
                        RowLayout {
                            spacing: 8
                            PushButton {
                                objectName: "openFinderFoldersButton"
                                text: "Open Finder Folders"
                                onClicked: support.openInstallFolders()
                            }
                            PushButton {
                                objectName: "quitButton"
                                text: "Quit Zorvane"
                                onClicked: support.quit()
                            }
                        }
                    }
                }

                // Approval banner.
                Banner {
                    objectName: "approvalBanner"
                    visible: protection.isAwaitingApproval
                    tone: Theme.blue
                    fillOpacity: 0.08
                    strokeOpacity: 0.25
                    padding: 18
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28

                    RowLayout {
                        width: parent.width
                        spacing: 14
                        SymbolImage {
                            Layout.alignment: Qt.AlignTop
                            name: "gear.badge"
                            pointSize: 25
                            color: Theme.blue
                        }
                        ColumnLayout {
                            Layout.fillWidth: true
                            Layout.alignment: Qt.AlignTop
                            spacing: 8
                            Text {
                                text: "Finish enabling protection"
                                font: Theme.headline
                                color: Theme.label
                            }
                            Text {
                                Layout.fillWidth: true
                                // On Linux an administrator approves the filter with zorvane-system.
                                text: Qt.platform.os === "linux"
                                      ? "An administrator needs to approve Zorvane's network filter."
                                      : "macOS is waiting for you to approve Zorvane."
                                font: Theme.subheadline
                                color: Theme.label
                                wrapMode: Text.Wrap
                            }
                            ColumnLayout {
                                spacing: 5
                                Repeater {
                                    objectName: "approvalSteps"
                                    model: Qt.platform.os === "linux" ? [
                                        "1. Open a terminal.",
                                        "2. Run: zorvane-system approve",
                                        "3. Enter an administrator's password when asked.",
                                        "4. Zorvane turns protection on as soon as the filter is approved."
                                    ] : [
                                        "1. Open System Settings.",
                                        "2. Scroll to Extensions and choose By Category.",
                                        "3. If Network Extensions is listed, open it and enable Zorvane.",
                                        "4. If it is not listed yet, return here and retry activation."
                                    ]
                                    Text {
                                        required property string modelData
                                        text: modelData
                                        font: Theme.caption
                                        color: Theme.label
                                    }
                                }
                            }
                            RowLayout {
                                spacing: 8
                                PushButton {
                                    objectName: "openSystemSettingsButton"
                                    text: "Open System Settings"
                                    onClicked: support.openLoginItemsSettings()
                                }
                                PushButton {
                                    objectName: "retryActivationButton"
                                    text: "Retry Activation"
                                    onClicked: root.store.handleBecameActive()
                                }
                            }
                        }
                    }
                }

                DropZoneView {
                    store: root.store
                    Layout.fillWidth: true
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28
                }

                // Recent activity: the title, and the empty state when there is none; the
                // rows are the list's.
                ColumnLayout {
                    Layout.fillWidth: true
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28
                    Layout.bottomMargin: activityModel.count > 0 ? 12 : 0
                    spacing: 12

                    SectionTitle {
                        Layout.fillWidth: true
                        title: "Recent activity"
                        caption: "Stored only on this Mac"
                        count: activityModel.count
                        countName: "activityCount"
                        baselineAligned: true
                    }

                    Rectangle {
                        objectName: "activityEmptyState"
                        visible: activityModel.count === 0
                        Layout.fillWidth: true
                        implicitHeight: emptyActivity.implicitHeight + 32
                        radius: 14
                        color: Theme.quaternary
                        RowLayout {
                            id: emptyActivity
                            anchors.fill: parent
                            anchors.margins: 16
                            spacing: 12
                            SymbolImage {
                                name: "waveform.path.ecg.rectangle"
                                pointSize: 22
                                weight: Font.Light
                                color: Theme.label
                            }
                            ColumnLayout {
                                Layout.fillWidth: true
                                spacing: 2
                                Text {
                                    Layout.fillWidth: true
                                    text: "No blocked connections yet"
                                    font: Theme.subheadline
                                    color: Theme.label
                                }
                                Text {
                                    Layout.fillWidth: true
                                    text: "New attempts will appear here while protection is on."
                                    font: Theme.caption
                                    color: Theme.secondary
                                }
                            }
                        }
                    }
                }
            }

            // One slot per row of the main list; the slot makes the row of its kind.
            delegate: Item {
                id: slot
                required property string kind
                required property var entry
                required property bool isFirstOfKind
                required property bool isLastOfKind

                width: ListView.view.width
                height: rowLoader.height

                Loader {
                    id: rowLoader
                    width: parent.width
                    // What the loaded row reads through its parent.
                    readonly property var entry: slot.entry
                    readonly property bool isFirst: slot.isFirstOfKind
                    readonly property bool isLast: slot.isLastOfKind
                    sourceComponent: slot.kind === "activity" ? activityRowComponent
                                   : slot.kind === "application" ? applicationRowComponent
                                   : applicationsTitleComponent
                }
            }

            footer: ColumnLayout {
                width: ListView.view ? ListView.view.width : 0
                spacing: 0
                RowLayout {
                    objectName: "failureLine"
                    visible: protection.kind === "failed"
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28
                    Layout.topMargin: 12
                    spacing: 5
                    SymbolImage {
                        name: "exclamationmark.triangle.fill"
                        pointSize: Theme.captionSize + 1
                        color: Theme.orange
                    }
                    Text {
                        objectName: "failureText"
                        Layout.fillWidth: true
                        text: protection.failureMessage
                        font: Theme.caption
                        color: Theme.orange
                        wrapMode: Text.Wrap
                    }
                }
                Item { Layout.preferredHeight: 28 }
            }
        }
    }

    // MARK: the getting-started sheet and the alert

    Popup {
        id: onboardingSheet
        objectName: "onboardingSheet"
        x: Math.round((root.width - width) / 2)
        y: Math.round((root.height - height) / 2)
        width: 540
        height: 440
        padding: 0
        modal: true
        closePolicy: Popup.CloseOnEscape
        onClosed: root.showingOnboarding = false

        contentItem: Loader {
            // Made anew each time the sheet opens: the guide's page and its two facts are fixed
            // then.
            active: onboardingSheet.visible
            sourceComponent: OnboardingView {
                objectName: "onboardingView"
                Component.onCompleted: {
                    isInApplicationsFolder = support.isInApplicationsFolder
                    isProtectionActive = protection.isActive
                }
                onFinish: {
                    support.hasCompletedOnboarding = true
                    root.showingOnboarding = false
                }
            }
        }
    }

    Dialog {
        id: alert
        objectName: "alert"
        x: Math.round((root.width - width) / 2)
        y: Math.round((root.height - height) / 2)
        width: Math.min(360, root.width - 40)
        modal: true
        title: "Zorvane"
        closePolicy: Popup.CloseOnEscape

        Label {
            objectName: "alertMessage"
            width: parent.width
            text: root.store ? root.store.alertMessage : ""
            wrapMode: Text.Wrap
            font: Theme.body
        }
        footer: DialogButtonBox {
            Button {
                objectName: "alertOkButton"
                text: "OK"
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
        }
        // Any dismissal clears the message.
        onClosed: {
            if (root.store)
                root.store.alertMessage = ""
        }
    }

    Connections {
        target: root.store
        function onAlertMessageChanged() {
            if (root.store.alertMessage !== "")
                alert.open()
            else
                alert.close()
        }
    }
}
