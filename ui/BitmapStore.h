#pragma once
// The window's two bitmap caches: bitmaps by resource number (our own
// artwork) and by file name (pictures in the "res" folder beside the
// program, which override the backgrounds). Both keep what they loaded until
// the store is cleared. Window thread only.
#include <QHash>
#include <QImage>
#include <QRegion>
#include <QString>
#include <QtMath>

namespace veldmoor::ui {

class BitmapStore {
public:
    // `resourceFolder`: where "bg.bmp" and "bg2.bmp" may override the
    // backgrounds; `caption` goes into the drawn backgrounds; `scale` is the
    // device pixel ratio the artwork is drawn at.
    BitmapStore(QString resourceFolder, QString caption, qreal scale = 1.0);

    // A null image when there is none.
    const QImage& ByNumber(int number);
    // A file in the resource folder; a null image when it is missing or unreadable.
    const QImage& ByFile(const QString& fileName);

    // The compact ("bg2.bmp", else 186) or expanded ("bg.bmp", else 140) background.
    const QImage& Background(bool expanded);

    void Clear();

private:
    QString resourceFolder_;
    QString caption_;
    qreal scale_;
    QHash<int, QImage> byNumber_;
    QHash<QString, QImage> byFile_;
};

// The image's rectangle minus every pixel of `key` in rows firstRow..lastRow
// (clipped to the image), in window pixels: an image drawn at a device pixel
// ratio is read at the middle of each window pixel.
QRegion RegionWithoutColour(const QImage& image, const QColor& key, int firstRow, int lastRow);
inline QRegion RegionWithoutColour(const QImage& image, const QColor& key) {
    return RegionWithoutColour(image, key, 0, qCeil(image.deviceIndependentSize().height()) - 1);
}

// The "res" folder beside the running program.
QString ProgramResourceFolder();

}  // namespace veldmoor::ui
