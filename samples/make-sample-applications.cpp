// zorvane-make-samples DIRECTORY: writes the sample applications (SampleApplications) into
// DIRECTORY. Run by the build; with Qt at hand each sample gets an icon.
#include "samples/SampleApplications.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#ifdef ZORVANE_SAMPLE_ICONS
#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#endif

namespace {

using namespace zorvane;

#ifdef ZORVANE_SAMPLE_ICONS

constexpr int iconSize = 256;

// Shapes only, no text: fonts would need a windowing platform, and the build may have none.
void drawMail(QPainter& painter) {
    const QRectF envelope(52, 80, 152, 100);
    painter.setBrush(Qt::white);
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(envelope, 10, 10);
    painter.setPen(QPen(QColor(0x1d, 0x4e, 0xd8), 10, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    const QPointF flap[] = {{envelope.left() + 10, envelope.top() + 12},
                            {envelope.center().x(), envelope.top() + 60},
                            {envelope.right() - 10, envelope.top() + 12}};
    painter.drawPolyline(flap, 3);
}

void drawChat(QPainter& painter) {
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(48, 62, 160, 108), 34, 34);
    QPainterPath tail;
    tail.moveTo(84, 160);
    tail.lineTo(70, 202);
    tail.lineTo(122, 166);
    tail.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawPath(bubble.united(tail));
    painter.setBrush(QColor(0x04, 0x78, 0x57));
    for (int i = 0; i < 3; ++i) {
        painter.drawEllipse(QPointF(92 + 36 * i, 116), 11, 11);
    }
}

std::vector<std::uint8_t> icon(bool mail) {
    QImage image(iconSize, iconSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient background(0, 0, 0, iconSize);
        background.setColorAt(0, mail ? QColor(0x60, 0xa5, 0xfa) : QColor(0x34, 0xd3, 0x99));
        background.setColorAt(1, mail ? QColor(0x1d, 0x4e, 0xd8) : QColor(0x04, 0x78, 0x57));
        painter.setPen(Qt::NoPen);
        painter.setBrush(background);
        painter.drawRoundedRect(QRectF(12, 12, iconSize - 24, iconSize - 24), 52, 52);
        mail ? drawMail(painter) : drawChat(painter);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "icns");
    if (!writer.write(image)) {
        std::fprintf(stderr, "zorvane-make-samples: no icon (%s)\n",
                     writer.errorString().toUtf8().constData());
        return {};
    }
    return {bytes.begin(), bytes.end()};
}

#else

std::vector<std::uint8_t> icon(bool) {
    return {};
}

#endif

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zorvane-make-samples DIRECTORY\n");
        return 2;
    }
#ifdef ZORVANE_SAMPLE_ICONS
    // The image plugins are found through the application object.
    QCoreApplication application(argc, argv);
#endif
    const std::filesystem::path directory = argv[1];
    try {
        for (const auto& sample : SampleApplications::all()) {
            const bool mail =
                sample.bundleIdentifier == SampleApplications::mail().bundleIdentifier;
            SampleApplications::write(sample, directory, icon(mail));
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zorvane-make-samples: %s\n", error.what());
        return 1;
    }
    return 0;
}
