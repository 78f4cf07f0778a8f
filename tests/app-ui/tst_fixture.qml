import QtQuick
import QtTest
import Zorvane.Ui

// The fixture's store reaches the view models as the views will see it.
TestCase {
    name: "Fixture"
    when: windowShown

    Component { id: applicationsComponent; ApplicationListModel {} }
    Component { id: activityComponent; RecentActivityModel {} }

    function init() {
        fixture.reset()
    }

    function test_storeStateReachesTheModels() {
        fixture.addApplication("Chat", "com.example.chat")
        const mail = fixture.addApplication("Mail", "com.example.mail", 2)
        fixture.addEvent("com.example.mail", "imap.example.com", "993", 3, 30)
        fixture.addEvent("com.example.mail.helper1", "smtp.example.com", "", 2, 90)
        fixture.addEvent("org.unrelated.tool", "example.org", "443", 7, 10)
        fixture.addObservation("com.example.mail.helper2")
        fixture.addGrant(mail, "timed")
        fixture.setProtectionRequested(true)
        verify(fixture.start())
        verify(fixture.setFilterStatus("enabled"))

        const applications = createTemporaryObject(applicationsComponent, this,
                                                   { store: fixture.store })
        compare(applications.count, 2)
        const chat = applications.get(0)
        const entry = applications.get(1)
        compare(chat.name, "Chat")
        compare(chat.grantState, "none")
        compare(chat.blockedAttemptCount, 0)
        compare(entry.id, mail)
        compare(entry.bundleIdentifier, "com.example.mail")
        compare(entry.grantState, "timed")
        compare(entry.blockedAttemptCount, 5)
        // The main executable, two bundled helpers (one of them also observed).
        compare(entry.componentCount, 3)
        compare(entry.components[0].kind, "main")
        compare(entry.components[0].kindText, "Main app")

        // Only the listed application's events, latest first; the last one marked.
        const activity = createTemporaryObject(activityComponent, this, { store: fixture.store })
        compare(activity.count, 2)
        compare(activity.get(0).destination, "imap.example.com:993")
        compare(activity.get(0).applicationName, "Mail")
        compare(activity.get(0).isLast, false)
        compare(activity.get(1).destination, "smtp.example.com")
        compare(activity.get(1).processName, "com.example.mail.helper1")
        compare(activity.get(1).isLast, true)
    }
}
