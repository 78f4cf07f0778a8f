#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>
#include <optional>
#include <span>
#include <string_view>

namespace zorvane {

// The one mapping from the symbol names the views and the status item use ("shield.fill",
// "lock.fill", ...) to glyphs of the Material Icons font. Every drawn symbol goes through here,
// so a name missing from the table shows up as an empty glyph in one place, not as a different
// look per view.
//
// In QML it is the singleton `Symbols`: `Symbols.glyph("timer")`, `Symbols.fontFamily`.
class SymbolTable : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(Symbols)
    QML_SINGLETON
    Q_PROPERTY(QString fontFamily READ fontFamily CONSTANT)
    Q_PROPERTY(bool isFontAvailable READ isFontAvailable CONSTANT)

public:
    struct Entry {
        std::string_view name;  // the symbol name the views use
        std::string_view glyph; // the font's own name for the glyph, for whoever reads the table
        char16_t codepoint;
    };

    // Where the Debian package puts the font.
    static constexpr const char* fontPath =
        "/usr/share/fonts/truetype/material-design-icons-iconfont/MaterialIcons-Regular.ttf";

    explicit SymbolTable(QObject* parent = nullptr);

    static std::span<const Entry> entries();
    static std::optional<char16_t> codepoint(std::string_view name);

    // The glyph as a one-character text; empty for an unknown name.
    Q_INVOKABLE static QString glyph(const QString& name);

    // The family the font was registered under; loads it on first use. Empty when the font
    // file is missing, and then every symbol draws as nothing rather than as a stray letter.
    static QString fontFamily();
    static bool isFontAvailable() { return !fontFamily().isEmpty(); }
    // The symbol font at a pixel size, for drawing glyphs from C++ (the status item).
    static QFont font(int pixelSize);
    // The symbol drawn in a transparent square of the edge length (device pixels); fully
    // transparent for an unknown name or without the font.
    static QImage image(const QString& name, int edge, const QColor& color);
};

} // namespace zorvane
