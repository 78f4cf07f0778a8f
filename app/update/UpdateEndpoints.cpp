#include "UpdateEndpoints.h"

#include <QtGlobal>

namespace zorvane {

QUrl UpdateEndpoints::manifestUrl() {
    const QString overridden = qEnvironmentVariable(manifestUrlVariable);
    if (!overridden.isEmpty()) {
        const QUrl url(overridden, QUrl::StrictMode);
        if (url.isValid() && !url.isRelative()) {
            return url;
        }
    }
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(QString::fromLatin1(manifestHost));
    url.setPath(QString::fromLatin1(manifestPath));
    return url;
}

bool UpdateEndpoints::isAllowedDownloadUrl(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() ||
        url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0) {
        return false;
    }
    const QString host = url.host().toLower();
    for (const char* allowed : downloadHosts) {
        if (host == QLatin1String(allowed)) {
            return true;
        }
    }
    return false;
}

} // namespace zorvane
