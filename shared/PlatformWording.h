#pragma once

#include <array>
#include <span>
#include <string_view>

namespace zorvane {

// Every user-visible text that names a thing of one desktop (its file manager, its settings
// application, its folders, the machine itself) comes from here, in two tables with the same
// keys: the macOS wording, and the wording a Linux desktop user reads. A build uses the table
// of the platform it is built for; texts that name nothing platform-specific stay where they
// are used.
//
// The tables are constant expressions, so that a constant elsewhere can be one of these texts
// and a misspelt key fails the build.
class PlatformWording {
public:
    struct Entry {
        std::string_view key;
        const char* text; // ASCII, so that Latin-1 and UTF-8 readers agree
    };

    static constexpr std::array<Entry, 24> macOS{{
        {"activity.storedLocally", "Stored only on this Mac"},
        {"alert.installationRequired",
         "Move Zorvane to your Mac's Applications folder, quit this copy, and open it again from "
         "Applications before turning on protection."},
        {"approval.message", "macOS is waiting for you to approve Zorvane."},
        {"approval.openSettings", "Open System Settings"},
        {"approval.step1", "1. Open System Settings."},
        {"approval.step2", "2. Scroll to Extensions and choose By Category."},
        {"approval.step3", "3. If Network Extensions is listed, open it and enable Zorvane."},
        {"approval.step4", "4. If it is not listed yet, return here and retry activation."},
        {"dropZone.subtitle", "Choose an app in Finder to block its new network connections."},
        {"filter.restartRequired", "Restart your Mac to finish installing the extension."},
        {"guide.dropIn.message",
         "Drag any .app from Finder into Zorvane. Its embedded helpers are added automatically. "
         "Expand the app's network-process list to see helpers and background services as they "
         "are detected."},
        {"guide.install.message",
         "Before turning on protection, drag Zorvane into your Mac's Applications folder and open "
         "it from there. The installer window makes this a single drag."},
        {"guide.install.title", "Move to Applications"},
        {"guide.protection.message",
         "Use the switch in the top-right corner. If macOS needs approval, Zorvane will show the "
         "exact steps and a button to open System Settings."},
        {"guide.welcome.message",
         "A simple, private way to stop selected apps from accessing the internet. Network "
         "decisions happen locally on your Mac."},
        {"inspection.notAnApplication", "Drop an application with the .app extension."},
        {"installation.message",
         "macOS can only enable Zorvane's network extension when the app is in the Applications "
         "folder. Quit this copy, drag Zorvane from Downloads into Applications, then open it "
         "there."},
        {"installation.openFolders", "Open Finder Folders"},
        {"settings.approvalCaption",
         "macOS asks for permission before enabling the extension for the first time."},
        {"settings.statusItemSection", "Menu Bar"},
        {"settings.statusItemSwitch", "Show Zorvane in the menu bar"},
        {"status.installationRequired", "Move to Applications"},
        {"statusItem.installationRequired", "Move to Applications"},
        {"statusItem.hide", "Hide Menu Bar Icon"},
    }};

    static constexpr std::array<Entry, 24> linuxDesktop{{
        {"activity.storedLocally", "Stored only on this computer"},
        {"alert.installationRequired",
         "Quit this copy of Zorvane and open Zorvane from its installed location before turning "
         "on protection."},
        {"approval.message", "An administrator needs to approve Zorvane's network filter."},
        {"approval.openSettings", "Open Autostart Folder"},
        {"approval.step1", "1. Open a terminal."},
        {"approval.step2", "2. Run: zorvane-system approve"},
        {"approval.step3", "3. Enter an administrator's password when asked."},
        {"approval.step4", "4. Zorvane turns protection on as soon as the filter is approved."},
        {"dropZone.subtitle",
         "Drag an application from your file manager to block its new network connections."},
        {"filter.restartRequired", "Restart your computer to finish installing the filter."},
        {"guide.dropIn.message",
         "Drag an application from your file manager into Zorvane. The programs it carries are "
         "added automatically. Expand the app's network-process list to see helpers and "
         "background services as they are detected."},
        {"guide.install.message",
         "Before turning on protection, quit this copy and open Zorvane from its installed "
         "location. A copy run from anywhere else cannot turn on the network filter."},
        {"guide.install.title", "Open the Installed Copy"},
        {"guide.protection.message",
         "Use the switch in the top-right corner. If the network filter needs your approval, "
         "Zorvane will show the exact steps."},
        {"guide.welcome.message",
         "A simple, private way to stop selected apps from accessing the internet. Network "
         "decisions happen locally on this computer."},
        {"inspection.notAnApplication",
         "Drop an application's desktop entry (.desktop) or a program."},
        {"installation.message",
         "Zorvane can only turn on its network filter when it runs from its installed location. "
         "Quit this copy, then open Zorvane from where it is installed."},
        {"installation.openFolders", "Open Folders"},
        {"settings.approvalCaption",
         "The network filter asks for your approval before it is enabled for the first time."},
        {"settings.statusItemSection", "System Tray"},
        {"settings.statusItemSwitch", "Show Zorvane in the system tray"},
        {"status.installationRequired", "Not installed"},
        {"statusItem.installationRequired", "Not Installed"},
        {"statusItem.hide", "Hide Tray Icon"},
    }};

#if defined(__APPLE__)
    static constexpr bool isLinuxWording = false;
#else
    static constexpr bool isLinuxWording = true;
#endif

    static constexpr std::span<const Entry> table() {
        if constexpr (isLinuxWording) {
            return linuxDesktop;
        } else {
            return macOS;
        }
    }

    // The text of a key in a table; null when the table has no such key.
    static constexpr const char* find(std::span<const Entry> table, std::string_view key) {
        for (const Entry& entry : table) {
            if (entry.key == key) {
                return entry.text;
            }
        }
        return nullptr;
    }

    // The text of a key in this build's table. In a constant expression an unknown key does not
    // compile; at run time it gives the key itself, which shows where a text is missing.
    static constexpr const char* text(std::string_view key) {
        const char* found = find(table(), key);
        if (found == nullptr) {
            missingKey();
            return "";
        }
        return found;
    }

private:
    // Not a constant expression: reaching it while the compiler evaluates text() fails the
    // build.
    static void missingKey() {}
};

} // namespace zorvane
