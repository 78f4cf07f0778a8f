#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

namespace zorvane {

// The views' way to the texts that name things of the desktop (PlatformWording): in QML the
// singleton `Texts`, `Texts.text("dropZone.subtitle")`.
class PlatformTexts : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(Texts)
    QML_SINGLETON

public:
    explicit PlatformTexts(QObject* parent = nullptr);

    // This build's text for the key; the key itself when the table has none, so that a
    // missing text shows where it belongs instead of leaving a blank.
    Q_INVOKABLE static QString text(const QString& key);
};

} // namespace zorvane
