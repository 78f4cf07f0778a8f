#include "app/ui/PlatformTexts.h"

#include "shared/PlatformWording.h"

namespace zorvane {

PlatformTexts::PlatformTexts(QObject* parent) : QObject(parent) {}

QString PlatformTexts::text(const QString& key) {
    const std::string name = key.toStdString();
    const char* found = PlatformWording::find(PlatformWording::table(), name);
    return found ? QString::fromUtf8(found) : key;
}

} // namespace zorvane
