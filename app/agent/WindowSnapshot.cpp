#include "app/agent/WindowSnapshot.h"

#include "app/agent/ApplicationLog.h"
#include "app/agent/ZorvaneApplicationDelegate.h"
#include "app/store/AppBlockStore.h"

#include <QGuiApplication>
#include <QImage>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSaveFile>
#include <algorithm>
#include <vector>

namespace zorvane {
namespace {

// Long enough for the views to create what a change adds (list rows come a frame later).
constexpr std::chrono::milliseconds settleTime{300};

struct PlacedText {
    qreal y;
    qreal x;
    QString text;
};

// Symbol images are glyphs of the icon font, in the private use area: pictures, not text.
QString withoutSymbols(const QString& text) {
    QString kept;
    for (const QChar character : text) {
        if (character.category() != QChar::Other_PrivateUse) {
            kept.append(character);
        }
    }
    return kept.simplified();
}

// A control's own text is drawn again by the labels inside it; it counts once.
void collectTexts(QQuickItem& item, const QString& shown, std::vector<PlacedText>& texts) {
    if (!item.isVisible() || item.opacity() <= 0.0) {
        return;
    }
    QString mine = shown;
    const QVariant text = item.property("text");
    if (text.typeId() == QMetaType::QString) {
        const QString simplified = withoutSymbols(text.toString());
        if (!simplified.isEmpty() && simplified != shown) {
            const QPointF at = item.mapToScene(QPointF(0, 0));
            texts.push_back({at.y(), at.x(), simplified});
        }
        if (!simplified.isEmpty()) {
            mine = simplified;
        }
    }
    for (QQuickItem* child : item.childItems()) {
        collectTexts(*child, mine, texts);
    }
}

} // namespace

WindowSnapshot::WindowSnapshot(AppBlockStore& store, QString picturePath, QObject* parent)
    : QObject(parent), picturePath_(std::move(picturePath)) {
    settle_.setSingleShot(true);
    settle_.setInterval(settleTime);
    connect(&settle_, &QTimer::timeout, this, [this] {
        pending_ = true;
        if (window_) {
            window_->update();
        }
    });
    for (auto signal :
         {&AppBlockStore::applicationsChanged, &AppBlockStore::activityEventsChanged,
          &AppBlockStore::discoveredProcessesChanged, &AppBlockStore::temporaryAccessGrantsChanged,
          &AppBlockStore::filterStateChanged, &AppBlockStore::alertMessageChanged}) {
        connect(&store, signal, this, &WindowSnapshot::changed);
    }
    // The delegate shows the main window half a second after launch; look for it until then.
    findWindow_.setInterval(100);
    connect(&findWindow_, &QTimer::timeout, this, &WindowSnapshot::watchMainWindow);
    findWindow_.start();
}

std::unique_ptr<WindowSnapshot> WindowSnapshot::fromEnvironment(AppBlockStore& store) {
    const QString path = qEnvironmentVariable(environmentVariable);
    if (path.isEmpty()) {
        return nullptr;
    }
    return std::make_unique<WindowSnapshot>(store, path);
}

void WindowSnapshot::changed() {
    settle_.start();
}

void WindowSnapshot::watchMainWindow() {
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
        auto* quick = qobject_cast<QQuickWindow*>(window);
        if (quick && quick->isVisible() &&
            quick->title() == QLatin1String(ZorvaneApplicationDelegate::mainWindowTitle)) {
            findWindow_.stop();
            window_ = quick;
            connect(quick, &QQuickWindow::frameSwapped, this, &WindowSnapshot::frameDrawn,
                    Qt::QueuedConnection);
            settle_.start();
            return;
        }
    }
}

void WindowSnapshot::frameDrawn() {
    if (!pending_ || !window_ || settle_.isActive()) {
        return;
    }
    pending_ = false;
    write(*window_);
}

void WindowSnapshot::write(QQuickWindow& window) {
    const QImage picture = window.grabWindow();
    QSaveFile pictureFile(picturePath_);
    QSaveFile textFile(picturePath_ + QStringLiteral(".txt"));
    const QByteArray texts = visibleTexts(window).join(QLatin1Char('\n')).toUtf8() + '\n';
    if (picture.isNull() || !pictureFile.open(QIODevice::WriteOnly) ||
        !picture.save(&pictureFile, "PNG") || !pictureFile.commit() ||
        !textFile.open(QIODevice::WriteOnly) || textFile.write(texts) != texts.size() ||
        !textFile.commit()) {
        qCWarning(applicationLog) << "Could not write a snapshot of the main window to"
                                  << picturePath_;
        return;
    }
    ++written_;
    qCInfo(applicationLog).noquote()
        << QStringLiteral("Wrote a snapshot of the main window to %1").arg(picturePath_);
    emit written(picturePath_);
}

QStringList WindowSnapshot::visibleTexts(QQuickWindow& window) {
    std::vector<PlacedText> texts;
    if (QQuickItem* root = window.contentItem()) {
        collectTexts(*root, QString(), texts);
    }
    std::stable_sort(texts.begin(), texts.end(), [](const PlacedText& a, const PlacedText& b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
    });
    QStringList lines;
    for (auto& placed : texts) {
        lines.push_back(std::move(placed.text));
    }
    return lines;
}

} // namespace zorvane
