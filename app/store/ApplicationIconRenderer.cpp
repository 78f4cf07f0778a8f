#include "app/store/ApplicationIconRenderer.h"

#include "codesign/BundleReader.h"
#include "shared/UntrustedFile.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QPainter>

namespace zorvane {
namespace fs = std::filesystem;

namespace {

// Icon files of real applications are at most a few megabytes.
constexpr std::uint64_t maximumIconFileSize = 16 * 1024 * 1024;

// The bytes of the icon file that the information dictionary names, read through the door for
// files a bundle controls: the name may lead to a FIFO or a device as easily as to an image.
std::optional<QByteArray> iconBytes(const fs::path& bundle) {
    const auto info = BundleReader::readInfoDictionary(bundle);
    if (!info) {
        return std::nullopt;
    }
    for (const char* key : {"CFBundleIconFile", "CFBundleIconName"}) {
        auto it = info->find(key);
        if (it == info->end() || !it->second.string() || it->second.string()->empty()) {
            continue;
        }
        fs::path name = *it->second.string();
        // The name is the bundle author's text: keep it inside Contents/Resources.
        if (name.has_parent_path() || name == ".." || name == ".") {
            continue;
        }
        if (name.extension().empty()) {
            name += ".icns";
        }
        auto contents =
            UntrustedFile::read(bundle / "Contents" / "Resources" / name, maximumIconFileSize);
        if (contents.bytes) {
            return QByteArray(contents.bytes->data(),
                              static_cast<qsizetype>(contents.bytes->size()));
        }
    }
    return std::nullopt;
}

// An .icns holds several representations; the largest one that decodes gives the best result
// when scaled to the row size. Formats Qt cannot decode (JPEG 2000) are skipped.
QImage largestReadableImage(const QByteArray& bytes) {
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly)) {
        return {};
    }
    QImageReader reader(&buffer);
    QImage best;
    const int count = std::max(reader.imageCount(), 1);
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !reader.jumpToImage(i)) {
            break;
        }
        QImage image = reader.read();
        if (!image.isNull() && (best.isNull() || qint64(image.width()) * image.height() >
                                                     qint64(best.width()) * best.height())) {
            best = std::move(image);
        }
    }
    return best;
}

} // namespace

std::optional<std::vector<std::uint8_t>>
ApplicationIconRenderer::render(const fs::path& bundleOrImage) {
    std::optional<QByteArray> bytes;
    std::error_code error;
    if (fs::is_directory(bundleOrImage, error)) {
        bytes = iconBytes(bundleOrImage);
    } else if (auto contents = UntrustedFile::read(bundleOrImage, maximumIconFileSize);
               contents.bytes) {
        bytes = QByteArray(contents.bytes->data(), static_cast<qsizetype>(contents.bytes->size()));
    }
    if (!bytes) {
        return std::nullopt;
    }
    const QImage source = largestReadableImage(*bytes);
    if (source.isNull()) {
        return std::nullopt;
    }

    QImage canvas(iconSize, iconSize, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.drawImage(QRect(0, 0, iconSize, iconSize), source);
    }

    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !canvas.save(&buffer, "PNG")) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(png.begin(), png.end());
}

} // namespace zorvane
