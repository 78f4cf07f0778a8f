#include "app/ui/SymbolTable.h"

#include <QFontDatabase>
#include <QPainter>
#include <QStringList>
#include <algorithm>
#include <array>

namespace zorvane {
namespace {

// Sorted by name: looked up by binary search.
constexpr auto table = [] {
    std::array<SymbolTable::Entry, 29> entries{{
        {"app", "web_asset", 0xe069},
        {"app.dashed", "crop_free", 0xe3c2},
        {"arrow.down.app.fill", "get_app", 0xe884},
        {"arrow.down.circle.fill", "download_for_offline", 0xf000},
        {"checkmark.shield", "verified_user", 0xe8e8},
        {"chevron.right", "chevron_right", 0xe5cc},
        {"circle.fill", "circle", 0xef4a},
        {"exclamationmark.shield.fill", "gpp_maybe", 0xf014},
        {"exclamationmark.triangle.fill", "warning", 0xe002},
        {"gear", "settings", 0xe8b8},
        {"gear.badge", "settings_suggest", 0xf05e},
        {"gearshape.2", "miscellaneous_services", 0xf10c},
        {"hand.raised.fill", "back_hand", 0xe764},
        {"hourglass", "hourglass_empty", 0xe88b},
        {"info.circle", "info", 0xe88e},
        {"lock.fill", "lock", 0xe897},
        {"lock.open.fill", "lock_open", 0xe898},
        {"pause.circle.fill", "pause_circle_filled", 0xe035},
        {"play.circle.fill", "play_circle", 0xe1c4},
        {"point.3.connected.trianglepath.dotted", "hub", 0xe9f4},
        {"power", "power_settings_new", 0xe8ac},
        {"questionmark.circle", "help_outline", 0xe8fd},
        {"shield.fill", "shield", 0xe9e0},
        {"shield.lefthalf.filled", "security", 0xe32a},
        {"shield.slash.fill", "remove_moderator", 0xe9d4},
        {"switch.2", "toggle_on", 0xe9f6},
        {"timer", "timer", 0xe425},
        {"waveform.path.ecg.rectangle", "monitor_heart", 0xeaa2},
        {"xmark", "close", 0xe5cd},
    }};
    std::sort(entries.begin(), entries.end(),
              [](const auto& lhs, const auto& rhs) { return lhs.name < rhs.name; });
    return entries;
}();

} // namespace

SymbolTable::SymbolTable(QObject* parent) : QObject(parent) {}

std::span<const SymbolTable::Entry> SymbolTable::entries() {
    return table;
}

std::optional<char16_t> SymbolTable::codepoint(std::string_view name) {
    auto it =
        std::lower_bound(table.begin(), table.end(), name,
                         [](const Entry& entry, std::string_view key) { return entry.name < key; });
    if (it == table.end() || it->name != name) {
        return std::nullopt;
    }
    return it->codepoint;
}

QString SymbolTable::glyph(const QString& name) {
    auto point = codepoint(name.toStdString());
    return point ? QString(QChar(*point)) : QString();
}

QString SymbolTable::fontFamily() {
    static const QString family = [] {
        const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(fontPath));
        const QStringList families =
            id < 0 ? QStringList() : QFontDatabase::applicationFontFamilies(id);
        return families.isEmpty() ? QString() : families.first();
    }();
    return family;
}

QFont SymbolTable::font(int pixelSize) {
    QFont font(fontFamily());
    font.setPixelSize(pixelSize);
    font.setStyleStrategy(QFont::NoFontMerging);
    return font;
}

QImage SymbolTable::image(const QString& name, int edge, const QColor& color) {
    QImage image(std::max(edge, 1), std::max(edge, 1), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const QString text = glyph(name);
    if (text.isEmpty() || !isFontAvailable()) {
        return image;
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(color);
    painter.setFont(font(image.height()));
    painter.drawText(QRectF(0, 0, image.width(), image.height()), Qt::AlignCenter, text);
    return image;
}

} // namespace zorvane
