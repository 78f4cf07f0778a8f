#pragma once

#include <QString>
#include <QUrl>
#include <array>

namespace zorvane {

// Where updates are published: the deployment values of the update checker, in one place.
class UpdateEndpoints {
public:
    static constexpr const char* manifestHost = "zorvane.app";
    static constexpr const char* manifestPath = "/updates/latest.json";
    // The only hosts a download address may name: the web site and its www form.
    static constexpr std::array<const char*, 2> downloadHosts = {"zorvane.app", "www.zorvane.app"};
    // Points the checker at another manifest, for staging and tests.
    static constexpr const char* manifestUrlVariable = "ZORVANE_UPDATE_MANIFEST_URL";

    // The manifest URL: the environment's override when it holds a valid absolute URL, else
    // https://<manifestHost><manifestPath>.
    static QUrl manifestUrl();

    // An absolute https URL whose host, lower-cased, is one of downloadHosts.
    static bool isAllowedDownloadUrl(const QString& text);
};

} // namespace zorvane
