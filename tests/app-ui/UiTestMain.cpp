// Qt Quick Test runner for the views: every tst_*.qml file here runs against the compiled
// Zorvane.Ui module, with the fixture as the context property "fixture".
#include "UiFixture.h"
#include "app/ui/ApplicationIconProvider.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QtPlugin>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>

Q_IMPORT_QML_PLUGIN(Zorvane_UiPlugin)

namespace zorvane::testing {

class UiTestSetup : public QObject {
    Q_OBJECT

public slots:
    void qmlEngineAvailable(QQmlEngine* engine) {
        engine->addImportPath(QStringLiteral("qrc:/"));
        if (!fixture_) {
            fixture_ = new UiFixture(this);
        }
        engine->rootContext()->setContextProperty(QStringLiteral("fixture"), fixture_);
        engine->rootContext()->setContextProperty(QStringLiteral("screenshotDirectory"),
                                                  QStringLiteral(ZORVANE_SCREENSHOT_DIR));
        ApplicationIconProvider::install(*engine);
    }
    void cleanupTestCase() {
        delete fixture_;
        fixture_ = nullptr;
    }

private:
    UiFixture* fixture_ = nullptr;
};

} // namespace zorvane::testing

QUICK_TEST_MAIN_WITH_SETUP(app_ui, zorvane::testing::UiTestSetup)

#include "UiTestMain.moc"
