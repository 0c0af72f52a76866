#include "ui/BitmapStore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <utility>

#include "ui/Artwork.h"

namespace veldmoor::ui {

BitmapStore::BitmapStore(QString resourceFolder, QString caption, qreal scale)
    : resourceFolder_(std::move(resourceFolder)), caption_(std::move(caption)), scale_(scale) {}

const QImage& BitmapStore::ByNumber(int number) {
    auto found = byNumber_.find(number);
    if (found == byNumber_.end()) found = byNumber_.insert(number, DrawArtwork(number, caption_, scale_));
    return *found;
}

const QImage& BitmapStore::ByFile(const QString& fileName) {
    auto found = byFile_.find(fileName);
    if (found == byFile_.end()) {
        QImage image;
        const QString path = resourceFolder_ + QLatin1Char('/') + fileName;
        if (QFileInfo::exists(path)) image.load(path);
        found = byFile_.insert(fileName, image);
    }
    return *found;
}

const QImage& BitmapStore::Background(bool expanded) {
    const QImage& file = ByFile(expanded ? QStringLiteral("bg.bmp") : QStringLiteral("bg2.bmp"));
    if (!file.isNull()) return file;
    return ByNumber(expanded ? bitmap::kExpandedBackground : bitmap::kCompactBackground);
}

void BitmapStore::Clear() {
    byNumber_.clear();
    byFile_.clear();
}

QRegion RegionWithoutColour(const QImage& image, const QColor& key, int firstRow, int lastRow) {
    const qreal scale = image.devicePixelRatio();
    const int width = qCeil(image.deviceIndependentSize().width());
    const int height = qCeil(image.deviceIndependentSize().height());
    QRegion region(0, 0, width, height);
    if (image.isNull()) return region;
    const QRgb keyRgb = key.rgb() & 0xFFFFFFu;
    // The device pixel in the middle of window pixel (x, y).
    const auto isKeyAt = [&](int x, int y) {
        const int deviceX = std::min(image.width() - 1, static_cast<int>((x + 0.5) * scale));
        const int deviceY = std::min(image.height() - 1, static_cast<int>((y + 0.5) * scale));
        return (image.pixel(deviceX, deviceY) & 0xFFFFFFu) == keyRgb;
    };
    firstRow = std::max(firstRow, 0);
    lastRow = std::min(lastRow, height - 1);
    QRegion cut;
    for (int y = firstRow; y <= lastRow; ++y) {
        int runStart = -1;
        for (int x = 0; x <= width; ++x) {
            const bool isKey = x < width && isKeyAt(x, y);
            if (isKey && runStart < 0) runStart = x;
            if (!isKey && runStart >= 0) {
                cut += QRect(runStart, y, x - runStart, 1);
                runStart = -1;
            }
        }
    }
    return region.subtracted(cut);
}

QString ProgramResourceFolder() { return QCoreApplication::applicationDirPath() + QStringLiteral("/res"); }

}  // namespace veldmoor::ui
