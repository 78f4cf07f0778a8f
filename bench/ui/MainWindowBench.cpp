// Building and first rendering the main window offscreen, with 100 applications, 1,000
// activity events and 256 observations against the empty window in the same run. The store is
// built once per state outside the timing: what is measured is what the user waits for when
// the window opens (view models, the visible rows, one software frame).
#include "app/ui/ApplicationIconProvider.h"
#include "app/ui/ApplicationListModel.h"
#include "app/ui/RecentActivityModel.h"
#include "app/ui/StoreQueries.h"
#include "tests/app-ui/UiFixture.h"

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <memory>

Q_IMPORT_QML_PLUGIN(Zorvane_UiPlugin)

namespace zorvane {
namespace {

constexpr int applicationCount = 100;
constexpr int eventCount = 1000;
constexpr int observationCount = 256;

std::unique_ptr<testing::UiFixture> makeFixture(bool populated) {
    auto fixture = std::make_unique<testing::UiFixture>();
    fixture->setHasCompletedOnboarding(true);
    fixture->setProtectionRequested(true);
    if (populated) {
        for (int index = 0; index < applicationCount; ++index) {
            fixture->addApplication(QStringLiteral("Application %1").arg(index, 3, 10, QChar('0')),
                                    QStringLiteral("com.example.app%1").arg(index), 3);
        }
        for (int index = 0; index < eventCount; ++index) {
            fixture->addEvent(QStringLiteral("com.example.app%1").arg(index % applicationCount),
                              QStringLiteral("host%1.example.com").arg(index),
                              QStringLiteral("443"), 1 + index % 7, 10 + index);
        }
        for (int index = 0; index < observationCount; ++index) {
            fixture->addObservation(QStringLiteral("com.example.app%1.worker%2")
                                        .arg(index % applicationCount)
                                        .arg(index),
                                    5 + index);
        }
    }
    if (!fixture->start() || !fixture->setFilterStatus(QStringLiteral("enabled"))) {
        std::fprintf(stderr, "the fixture store did not start\n");
        std::abort();
    }
    return fixture;
}

testing::UiFixture& fixtureFor(bool populated) {
    static std::map<bool, std::unique_ptr<testing::UiFixture>> fixtures;
    auto& fixture = fixtures[populated];
    if (!fixture) {
        fixture = makeFixture(populated);
    }
    return *fixture;
}

QQmlEngine& engine() {
    static QQmlEngine* engine = [] {
        auto* created = new QQmlEngine;
        created->addImportPath(QStringLiteral("qrc:/"));
        ApplicationIconProvider::install(*created);
        return created;
    }();
    return *engine;
}

void openMainWindow(benchmark::State& state, bool populated) {
    auto& fixture = fixtureFor(populated);
    QQmlComponent component(&engine());
    component.setData(R"(
        import QtQuick
        import Zorvane.Ui
        Window {
            id: window
            property var store
            width: 760
            height: 650
            visible: true
            ContentView { anchors.fill: parent; store: window.store }
        }
    )",
                      QUrl());
    if (component.isError()) {
        state.SkipWithError(component.errorString().toStdString().c_str());
        return;
    }
    for (auto _ : state) {
        // As on a store whose lists just changed: the window builds the queries it shows.
        StoreQueries::of(*fixture.store()).invalidate();
        QObject* object = component.createWithInitialProperties(
            {{QStringLiteral("store"), QVariant::fromValue(fixture.store())}});
        auto* window = qobject_cast<QQuickWindow*>(object);
        if (!window) {
            state.SkipWithError("no window");
            return;
        }
        // Rendering a frame in software forces layout, the visible rows and the paint.
        QImage frame = window->grabWindow();
        benchmark::DoNotOptimize(frame);
        state.PauseTiming();
        delete window;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        state.ResumeTiming();
    }
}

void BM_OpenEmptyMainWindow(benchmark::State& state) {
    openMainWindow(state, false);
}
void BM_OpenPopulatedMainWindow(benchmark::State& state) {
    openMainWindow(state, true);
}

void BM_ApplicationListModelRefresh(benchmark::State& state) {
    auto& fixture = fixtureFor(true);
    ApplicationListModel model;
    model.setStore(fixture.store());
    for (auto _ : state) {
        StoreQueries::of(*fixture.store()).invalidate();
        model.refresh();
    }
}
void BM_RecentActivityModelRefresh(benchmark::State& state) {
    auto& fixture = fixtureFor(true);
    RecentActivityModel model;
    model.setStore(fixture.store());
    for (auto _ : state) {
        model.refresh();
    }
}
BENCHMARK(BM_ApplicationListModelRefresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecentActivityModelRefresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenEmptyMainWindow)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OpenPopulatedMainWindow)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Prints the populated window's time as a multiple of the empty one's, in real and in CPU
// time (the machine may be shared), from the medians when the run has repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) {
                continue;
            }
            auto& times = times_[run.run_name.function_name];
            if (median || !times.fromMedian) {
                times = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(), median};
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto empty = times_.find("BM_OpenEmptyMainWindow");
        auto populated = times_.find("BM_OpenPopulatedMainWindow");
        if (empty != times_.end() && populated != times_.end() && empty->second.real > 0 &&
            empty->second.cpu > 0) {
            std::printf("populated / empty main window: %.2fx real time, %.2fx CPU time\n",
                        populated->second.real / empty->second.real,
                        populated->second.cpu / empty->second.cpu);
        }
    }

private:
    struct Times {
        double real = 0;
        double cpu = 0;
        bool fromMedian = false;
    };
    std::map<std::string, Times> times_;
};

} // namespace
} // namespace zorvane

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    qputenv("QT_QUICK_CONTROLS_STYLE", "Basic");
    QGuiApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    zorvane::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
