import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Zorvane.Ui

// One blocked application: icon, name and bundle identifier, the badge that is also the menu
// for temporary access, the remove button, and, once the application has network processes or
// blocked attempts, a summary line that expands into its list of network processes.
//
// Everything shown comes from the row's entry; every control calls one store operation. The
// only state of its own is whether the process list is expanded, which starts collapsed unless
// the list around the row remembers it: the main list makes its rows anew whenever an
// application comes or goes, and the others' lists stay open through that.
Item {
    id: root

    required property var store
    // The application's entry of ApplicationListModel (its "entry" role).
    required property var application

    // How long the expansion takes; the tests make it 0.
    property int animationDuration: 160

    property bool isShowingComponents: false
    // Where the list remembers expanded rows by application id: isExpanded(id),
    // setExpanded(id, expanded). Without one, every row starts collapsed.
    property var expansion: null
    // The menu while it is open, built for the state at that moment.
    property ThemedMenu accessMenu: null

    readonly property string applicationId: application ? application.id : ""
    readonly property string grantState: application ? application.grantState : "none"
    readonly property int componentCount: application ? application.componentCount : 0
    readonly property real blockedAttemptCount: application ? application.blockedAttemptCount : 0
    readonly property bool showsSummary: componentCount >= 1 || blockedAttemptCount >= 1

    readonly property var components: application ? application.components : []

    readonly property var badge: grantState === "timed"
        ? { text: "Allowed temporarily", symbol: "timer", tone: Theme.orange, textTone: Theme.orangeText, fill: 0.1 }
        : grantState === "untilQuit"
        ? { text: "Allowed until quit", symbol: "timer", tone: Theme.orange, textTone: Theme.orangeText, fill: 0.1 }
        : { text: "Blocked", symbol: "lock.fill", tone: Theme.red, textTone: Theme.redText, fill: 0.09 }

    implicitWidth: 480
    implicitHeight: column.implicitHeight

    function recallExpansion() {
        if (expansion && applicationId !== "")
            isShowingComponents = expansion.isExpanded(applicationId)
    }
    Component.onCompleted: recallExpansion()
    // A row the list hands another application shows that one's state.
    onApplicationIdChanged: recallExpansion()
    onIsShowingComponentsChanged: {
        if (expansion && applicationId !== "")
            expansion.setExpanded(applicationId, isShowingComponents)
    }

    function processCountText(count) {
        return count + (count === 1 ? " network process" : " network processes")
    }

    function blockedAttemptsText(count) {
        return count + (count === 1 ? " blocked attempt" : " blocked attempts")
    }

    // Builds the menu for what holds now: the items depend on the grant, and "Allow Until App
    // Quits" on whether the application runs at this moment.
    function openAccessMenu() {
        if (accessMenu)
            accessMenu.close()
        const menu = grantState === "none"
            ? blockedMenu.createObject(accessButton, {
                  isApplicationRunning: store.isApplicationRunning(application.bundleIdentifier)
              })
            : grantedMenu.createObject(accessButton)
        menu.x = accessButton.width - menu.width
        menu.y = accessButton.height + 2
        accessMenu = menu
        menu.open()
        return menu
    }

    Component {
        id: blockedMenu
        ThemedMenu {
            id: menu
            property bool isApplicationRunning: false
            onClosed: {
                if (root.accessMenu === menu)
                    root.accessMenu = null
                menu.destroy()
            }
            ThemedMenuItem {
                text: "Allow for 5 Minutes"
                onTriggered: root.store.allowTemporarily(root.applicationId, 300)
            }
            ThemedMenuItem {
                text: "Allow for 1 Hour"
                onTriggered: root.store.allowTemporarily(root.applicationId, 3600)
            }
            ThemedMenuItem {
                text: "Allow Until App Quits"
                enabled: menu.isApplicationRunning
                onTriggered: root.store.allowUntilQuit(root.applicationId)
            }
        }
    }

    Component {
        id: grantedMenu
        ThemedMenu {
            id: menu
            onClosed: {
                if (root.accessMenu === menu)
                    root.accessMenu = null
                menu.destroy()
            }
            ThemedMenuItem {
                text: "Block Again Now"
                destructive: true
                onTriggered: root.store.revokeTemporaryAccess(root.applicationId)
            }
        }
    }

    Column {
        id: column
        width: parent.width

        // MARK: main line
        Item {
            width: parent.width
            implicitHeight: mainLine.implicitHeight + 24

            RowLayout {
                id: mainLine
                anchors.fill: parent
                anchors.leftMargin: 16
                anchors.rightMargin: 16
                anchors.topMargin: 12
                anchors.bottomMargin: 12
                spacing: 14

                Item {
                    Layout.preferredWidth: 38
                    Layout.preferredHeight: 38
                    Image {
                        objectName: "applicationIcon"
                        anchors.fill: parent
                        source: root.application ? root.application.iconSource : ""
                        sourceSize.width: 76
                        sourceSize.height: 76
                        fillMode: Image.PreserveAspectFit
                        smooth: true
                        mipmap: true
                        visible: status === Image.Ready
                    }
                    SymbolImage {
                        anchors.centerIn: parent
                        visible: !root.application || root.application.iconSource === ""
                        name: "app"
                        pointSize: 32
                        weight: Font.Light
                        color: Theme.secondary
                    }
                }

                Column {
                    Layout.fillWidth: true
                    spacing: 3
                    Text {
                        objectName: "applicationName"
                        width: parent.width
                        text: root.application ? root.application.name : ""
                        font.family: Theme.body.family
                        font.pixelSize: Theme.bodySize
                        font.weight: Font.Medium
                        color: Theme.label
                        elide: Text.ElideRight
                    }
                    Text {
                        objectName: "bundleIdentifier"
                        width: parent.width
                        text: root.application ? root.application.bundleIdentifier : ""
                        font: Theme.caption
                        color: Theme.secondary
                        elide: Text.ElideRight
                        maximumLineCount: 1
                    }
                }

                AbstractButton {
                    id: accessButton
                    objectName: "accessBadge"
                    implicitWidth: badgeContent.implicitWidth + 20
                    implicitHeight: badgeContent.implicitHeight + 12
                    hoverEnabled: true
                    Accessible.role: Accessible.ButtonMenu
                    Accessible.name: root.badge.text
                    ToolTip.visible: hovered && !root.accessMenu
                    ToolTip.delay: 700
                    ToolTip.text: root.grantState === "none" ? "Allow this app temporarily"
                                                              : "Temporary access options"
                    onClicked: root.openAccessMenu()

                    background: Rectangle {
                        radius: height / 2
                        color: Theme.withAlpha(root.badge.tone, root.badge.fill)
                    }
                    contentItem: Item {
                        implicitWidth: badgeContent.implicitWidth
                        implicitHeight: badgeContent.implicitHeight
                        Row {
                            id: badgeContent
                            anchors.centerIn: parent
                            spacing: 4
                            SymbolImage {
                                objectName: "badgeSymbol"
                                anchors.verticalCenter: parent.verticalCenter
                                name: root.badge.symbol
                                pointSize: Theme.captionSize + 2
                                color: root.badge.textTone
                            }
                            Text {
                                objectName: "badgeText"
                                anchors.verticalCenter: parent.verticalCenter
                                text: root.badge.text
                                font.family: Theme.caption.family
                                font.pixelSize: Theme.captionSize
                                font.weight: Font.Medium
                                color: root.badge.textTone
                            }
                        }
                    }
                }

                AbstractButton {
                    objectName: "removeButton"
                    implicitWidth: 24
                    implicitHeight: 24
                    hoverEnabled: true
                    Accessible.role: Accessible.Button
                    Accessible.name: "Remove from list"
                    ToolTip.visible: hovered
                    ToolTip.delay: 700
                    ToolTip.text: "Remove from list"
                    onClicked: root.store.removeApplication(root.applicationId)
                    contentItem: SymbolImage {
                        name: "xmark"
                        pointSize: Theme.captionSize + 2
                        weight: Font.Bold
                        color: Theme.secondary
                    }
                    background: Item {}
                }
            }
        }

        // MARK: summary line
        Rectangle {
            objectName: "summaryDivider"
            visible: root.showsSummary
            x: 68
            width: parent.width - 68
            height: 1
            color: Theme.separator
        }

        Item {
            objectName: "summaryLine"
            visible: root.showsSummary
            width: parent.width
            implicitHeight: visible ? summaryRow.implicitHeight + 18 : 0

            RowLayout {
                id: summaryRow
                anchors.fill: parent
                anchors.leftMargin: 18
                anchors.rightMargin: 18
                anchors.topMargin: 9
                anchors.bottomMargin: 9
                spacing: 8

                AbstractButton {
                    id: summaryButton
                    objectName: "summaryButton"
                    visible: root.componentCount >= 1
                    implicitWidth: summaryContent.implicitWidth
                    implicitHeight: summaryContent.implicitHeight
                    Accessible.role: Accessible.Button
                    Accessible.name: root.processCountText(root.componentCount)
                    onClicked: root.isShowingComponents = !root.isShowingComponents
                    background: Item {}
                    contentItem: Row {
                        id: summaryContent
                        spacing: 8
                        SymbolImage {
                            anchors.verticalCenter: parent.verticalCenter
                            name: "point.3.connected.trianglepath.dotted"
                            pointSize: Theme.captionSize + 2
                            color: Theme.secondary
                        }
                        Text {
                            objectName: "processCountText"
                            anchors.verticalCenter: parent.verticalCenter
                            text: root.processCountText(root.componentCount)
                            font.family: Theme.caption.family
                            font.pixelSize: Theme.captionSize
                            font.weight: Font.Medium
                            color: Theme.secondary
                        }
                        SymbolImage {
                            objectName: "chevron"
                            anchors.verticalCenter: parent.verticalCenter
                            name: "chevron.right"
                            pointSize: Theme.captionSize + 2
                            color: Theme.secondary
                            rotation: root.isShowingComponents ? 90 : 0
                            Behavior on rotation {
                                NumberAnimation { duration: root.animationDuration; easing.type: Easing.InOutQuad }
                            }
                        }
                    }
                }

                Row {
                    objectName: "blockedAttempts"
                    visible: root.blockedAttemptCount >= 1
                    spacing: 4
                    SymbolImage {
                        anchors.verticalCenter: parent.verticalCenter
                        name: "hand.raised.fill"
                        pointSize: Theme.captionSize + 2
                        color: Theme.secondary
                    }
                    Text {
                        objectName: "blockedAttemptsText"
                        anchors.verticalCenter: parent.verticalCenter
                        text: root.blockedAttemptsText(root.blockedAttemptCount)
                        font.family: Theme.caption.family
                        font.pixelSize: Theme.captionSize
                        font.weight: Font.Medium
                        color: Theme.secondary
                    }
                }

                Item { Layout.fillWidth: true }
            }
        }

        // MARK: network processes
        Loader {
            id: componentsLoader
            objectName: "componentsLoader"
            width: parent.width
            active: root.isShowingComponents && root.componentCount >= 1
            visible: active
            sourceComponent: Item {
                implicitHeight: componentList.height + 10
                opacity: 0
                Component.onCompleted: opacity = 1
                Behavior on opacity {
                    NumberAnimation { duration: root.animationDuration; easing.type: Easing.InOutQuad }
                }

                ListView {
                    id: componentList
                    objectName: "componentList"
                    x: 18
                    width: parent.width - 18 - 16
                    height: Math.min(43 * count, 260)
                    clip: true
                    boundsBehavior: Flickable.StopAtBounds
                    model: root.components
                    readonly property bool overflows: contentHeight > height
                    ScrollBar.vertical: ThemedScrollBar { id: scrollBar }
                    delegate: ComponentRow {
                        required property var modelData
                        required property int index
                        // Rows stay clear of the scroll bar.
                        width: componentList.width - (componentList.overflows ? scrollBar.width + 4 : 0)
                        height: 43
                        networkComponent: modelData

                        Rectangle {
                            visible: index < root.components.length - 1
                            x: 42
                            width: parent.width - 42
                            height: 1
                            anchors.bottom: parent.bottom
                            color: Theme.separator
                        }
                    }
                }
            }
        }
    }
}
