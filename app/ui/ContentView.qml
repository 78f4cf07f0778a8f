import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Templates as T
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
    property date now: viewSupport.now()

    readonly property var updateController: store ? store.updateController : null

    implicitWidth: 760
    implicitHeight: 650
    color: Theme.windowBackground

    ViewSupport { id: viewSupport }
    ProtectionStatus { id: protectionStatus; store: root.store }
    ApplicationListModel { id: applicationsModel; store: root.store }
    RecentActivityModel { id: activityModel; store: root.store }
    MainWindowRows { id: mainRows; activity: activityModel; applications: applicationsModel }

    // Which applications' process lists are open, by id: the rows are made anew whenever an
    // application is added or removed, and the others keep their state through that.
    QtObject {
        id: expandedApplications
        property var ids: ({})
        function isExpanded(id) { return ids[id] === true }
        function setExpanded(id, expanded) {
            if (expanded)
                ids[id] = true
            else
                delete ids[id]
        }
    }

    Timer {
        interval: 1000
        repeat: true
        running: root.visible && activityModel.count > 0
        onTriggered: root.now = viewSupport.now()
    }

    Component.onCompleted: {
        if (!viewSupport.hasCompletedOnboarding)
            showingOnboarding = true
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
        if (isWindowShown && !viewSupport.hasCompletedOnboarding)
            showingOnboarding = true
    }

    // MARK: rows of the main list

    Component {
        id: activityRowComponent
        ActivityRow {
            // The loader that makes the row hands it its entry and place.
            width: parent ? parent.width : 0
            entry: parent && parent.entry ? parent.entry : ({})
            isFirst: parent ? parent.isFirst : true
            isLast: parent ? parent.isLast : true
            now: root.now
            support: viewSupport
        }
    }

    Component {
        id: applicationRowComponent
        ApplicationListRow {
            width: parent ? parent.width : 0
            store: root.store
            expansion: expandedApplications
            entry: parent && parent.entry ? parent.entry : ({})
            isFirst: parent ? parent.isFirst : true
            isLast: parent ? parent.isLast : true
        }
    }

    Component {
        id: applicationsTitleComponent
        BlockedAppsTitle {
            width: parent ? parent.width : 0
            store: root.store
        }
    }

    // MARK: layout

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        MainHeader {
            Layout.fillWidth: true
            z: 1
            store: root.store
            protection: protectionStatus
            support: viewSupport
            onHelpRequested: root.showingOnboarding = true
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
            ScrollBar.vertical: ThemedScrollBar { objectName: "mainScrollBar" }

            header: ColumnLayout {
                width: ListView.view ? ListView.view.width : 0
                spacing: 22

                Item { Layout.preferredHeight: 28 - 22 }

                UpdateBanner {
                    updateController: root.updateController
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28
                }
                InstallationBanner {
                    visible: protectionStatus.isInstallationRequired
                    support: viewSupport
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28
                }
                ApprovalBanner {
                    visible: protectionStatus.isAwaitingApproval
                    store: root.store
                    support: viewSupport
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28
                }

                DropZoneView {
                    store: root.store
                    Layout.fillWidth: true
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28
                }

                RecentActivityTitle {
                    count: activityModel.count
                    Layout.fillWidth: true
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28
                    Layout.bottomMargin: activityModel.count > 0 ? 12 : 0
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
                    visible: protectionStatus.kind === "failed"
                    Layout.leftMargin: 28
                    Layout.rightMargin: 28
                    Layout.topMargin: 12
                    spacing: 5
                    SymbolImage {
                        name: "exclamationmark.triangle.fill"
                        pointSize: Theme.captionSize + 1
                        color: Theme.orangeText
                    }
                    Text {
                        objectName: "failureText"
                        Layout.fillWidth: true
                        text: protectionStatus.failureMessage
                        font: Theme.caption
                        color: Theme.orangeText
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
        background: Rectangle {
            radius: 14
            color: Theme.windowBackground
            border.width: 1
            border.color: Theme.popupBorder
        }
        T.Overlay.modal: Rectangle { color: Theme.dimming }

        contentItem: Loader {
            // Made anew each time the sheet opens: the guide's page and its two facts are fixed
            // then.
            active: onboardingSheet.visible
            sourceComponent: OnboardingView {
                objectName: "onboardingView"
                Component.onCompleted: {
                    isInApplicationsFolder = viewSupport.isInApplicationsFolder
                    isProtectionActive = protectionStatus.isActive
                }
                onFinish: {
                    viewSupport.hasCompletedOnboarding = true
                    root.showingOnboarding = false
                }
            }
        }
    }

    ZorvaneAlert {
        id: alert
        x: Math.round((root.width - width) / 2)
        y: Math.round((root.height - height) / 2)
        width: Math.min(380, root.width - 40)
        message: root.store ? root.store.alertMessage : ""
        // Any dismissal clears the message.
        onDismissed: {
            if (root.store)
                root.store.alertMessage = ""
        }
    }
}
