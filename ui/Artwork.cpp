#include "ui/Artwork.h"

#include <QCoreApplication>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>
#include <array>
#include <cmath>

#include "i18n/Language.h"

namespace veldmoor::ui {
namespace {

enum class Look { kNormal, kPressed, kHover, kDisabled };

// Palette of the skin: a dusk moor above a parchment panel.
const QColor kCaptionTop(58, 36, 26);
const QColor kCaptionBottom(30, 19, 14);
const QColor kParchmentTop(246, 236, 214);
const QColor kParchmentBottom(226, 208, 176);
const QColor kEmber(214, 92, 24);
const QColor kEmberLight(240, 132, 52);
const QColor kEmberDark(158, 58, 12);
const QColor kInk(108, 42, 17);
const QColor kListDark(19, 19, 19);

// An image of `width` x `height` window pixels at `scale` device pixels each,
// so drawing on it lands at the screen's own resolution.
QImage Blank(int width, int height, qreal scale, const QColor& fill = Qt::transparent) {
    QImage image(qCeil(width * scale), qCeil(height * scale), QImage::Format_ARGB32);
    image.setDevicePixelRatio(scale);
    image.fill(fill);
    return image;
}

QFont ArtFont(int pixelSize, bool bold) {
    QFont font(WindowFontFamily());
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

void DrawCaptionBand(QPainter& painter, int width, const QString& caption) {
    QLinearGradient band(0, 0, 0, 38);
    band.setColorAt(0, kCaptionTop);
    band.setColorAt(1, kCaptionBottom);
    painter.fillRect(0, 0, width, 38, band);
    painter.setPen(QColor(120, 70, 40));
    painter.drawLine(0, 37, width, 37);
    // A small ember mark before the caption.
    QRadialGradient ember(20, 19, 9);
    ember.setColorAt(0, QColor(255, 214, 120));
    ember.setColorAt(0.6, kEmberLight);
    ember.setColorAt(1, QColor(120, 40, 10, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(ember);
    painter.drawEllipse(QPointF(20, 19), 9, 9);
    painter.setPen(QColor(244, 222, 190));
    painter.setFont(ArtFont(14, true));
    painter.drawText(QRect(36, 0, 270, 38), Qt::AlignLeft | Qt::AlignVCenter, caption);
}

// The picture between caption and panel: a moor at dusk with a low sun.
void DrawMoor(QPainter& painter, int width) {
    const QRect sky(0, 38, width, 158);
    QLinearGradient dusk(0, sky.top(), 0, sky.bottom());
    dusk.setColorAt(0, QColor(44, 52, 92));
    dusk.setColorAt(0.55, QColor(176, 96, 96));
    dusk.setColorAt(1, QColor(250, 170, 90));
    painter.fillRect(sky, dusk);
    QRadialGradient sun(300, 150, 46);
    sun.setColorAt(0, QColor(255, 238, 170));
    sun.setColorAt(0.35, QColor(255, 196, 110, 220));
    sun.setColorAt(1, QColor(255, 150, 80, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(sun);
    painter.drawEllipse(QPointF(300, 150), 46, 46);
    const std::array<QColor, 3> ridges = {QColor(96, 58, 66), QColor(62, 38, 44), QColor(34, 22, 24)};
    const std::array<int, 3> baseline = {150, 168, 184};
    for (size_t layer = 0; layer < ridges.size(); ++layer) {
        QPainterPath hill;
        hill.moveTo(0, 196);
        for (int x = 0; x <= width; x += 8) {
            const double phase = static_cast<double>(x) / (38.0 + 14.0 * static_cast<double>(layer));
            const double y = baseline[layer] - 10.0 * std::sin(phase + static_cast<double>(layer)) -
                             5.0 * std::sin(phase * 2.7);
            hill.lineTo(x, y);
        }
        hill.lineTo(width, 196);
        hill.closeSubpath();
        painter.setBrush(ridges[layer]);
        painter.drawPath(hill);
    }
    // A lone watchtower with a lit window: the "hold" of the moor.
    painter.setBrush(QColor(24, 16, 16));
    painter.drawRect(84, 132, 14, 50);
    painter.drawPolygon(QPolygon({QPoint(80, 134), QPoint(91, 118), QPoint(102, 134)}));
    painter.setBrush(QColor(255, 196, 90));
    painter.drawRect(89, 142, 4, 6);
}

void DrawPanel(QPainter& painter, int width) {
    const QRect panel(0, 196, width, 111);
    QLinearGradient parchment(0, panel.top(), 0, panel.bottom());
    parchment.setColorAt(0, kParchmentTop);
    parchment.setColorAt(1, kParchmentBottom);
    painter.fillRect(panel, parchment);
    painter.setPen(QColor(180, 120, 70));
    painter.drawLine(0, 196, width, 196);
    // The dark field behind the white save-directory text and its button.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(86, 58, 40));
    painter.drawRoundedRect(QRectF(252, 204, 148, 27), 4, 4);
    // Separators between the status texts.
    painter.setPen(QColor(200, 170, 130));
    painter.drawLine(6, 238, 305, 238);
}

void DrawToggleChevron(QPainter& painter, bool pointsDown) {
    const QRectF area(186, 280, 31, 22);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(210, 186, 150));
    painter.drawRoundedRect(area, 5, 5);
    painter.setBrush(kInk);
    const double cx = area.center().x();
    const double cy = area.center().y();
    QPolygonF arrow;
    if (pointsDown)
        arrow << QPointF(cx - 7, cy - 3) << QPointF(cx + 7, cy - 3) << QPointF(cx, cy + 4);
    else
        arrow << QPointF(cx - 7, cy + 4) << QPointF(cx + 7, cy + 4) << QPointF(cx, cy - 3);
    painter.drawPolygon(arrow);
}

// Everything outside a rounded corner of radius `radius` at the bottom of the
// image becomes the key colour, so the window's region cuts it away.
void KeyBottomCorners(QImage& image, int windowRadius) {
    // Device pixels: the curve is as fine as the screen.
    const int radius = qRound(windowRadius * image.devicePixelRatio());
    const int top = image.height() - radius;
    const int width = image.width();
    const double limit = static_cast<double>(radius) * radius;
    for (int dy = 0; dy < radius; ++dy) {
        for (int dx = 0; dx < radius; ++dx) {
            const double ex = radius - (dx + 0.5);
            const double ey = dy + 0.5;
            if (ex * ex + ey * ey <= limit) continue;
            image.setPixelColor(dx, top + dy, kKeyColour);
            image.setPixelColor(width - 1 - dx, top + dy, kKeyColour);
        }
    }
}

QImage DrawBackground(bool expanded, const QString& caption, qreal scale) {
    const int height = expanded ? kCompactHeight + kExpandedExtra : kCompactHeight;
    QImage image = Blank(kCompactWidth, height, scale, kParchmentBottom);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        DrawCaptionBand(painter, kCompactWidth, caption);
        DrawMoor(painter, kCompactWidth);
        DrawPanel(painter, kCompactWidth);
        DrawToggleChevron(painter, !expanded);
        if (expanded) painter.fillRect(0, kCompactHeight, kCompactWidth, kExpandedExtra, kListDark);
    }
    if (!expanded) KeyBottomCorners(image, 10);
    return image;
}

// Main button: a rounded ember plate with its label; the corners outside the
// plate carry the key colour so the button's region is the plate.
QImage DrawMainButton(const QString& label, Look look, qreal scale) {
    QImage image = Blank(85, 32, scale, kKeyColour);
    QPainter painter(&image);
    QColor top = kEmberLight;
    QColor bottom = kEmberDark;
    QColor text(255, 248, 236);
    int shift = 0;
    switch (look) {
    case Look::kNormal: break;
    case Look::kHover:
        top = QColor(252, 168, 90);
        bottom = kEmber;
        break;
    case Look::kPressed:
        top = kEmberDark;
        bottom = kEmber;
        shift = 1;
        break;
    case Look::kDisabled:
        top = QColor(196, 188, 178);
        bottom = QColor(150, 142, 134);
        text = QColor(236, 232, 226);
        break;
    }
    QLinearGradient plate(0, 0, 0, 32);
    plate.setColorAt(0, top);
    plate.setColorAt(1, bottom);
    // Without antialiasing, so every pixel is either plate or key colour.
    painter.setPen(QColor(look == Look::kDisabled ? QColor(130, 122, 116) : QColor(110, 40, 8)));
    painter.setBrush(plate);
    painter.drawRoundedRect(QRect(0, 0, 84, 31), 7, 7);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(text);
    painter.setFont(ArtFont(15, true));
    painter.drawText(QRect(shift, shift, 85, 32), Qt::AlignCenter, label);
    return image;
}

QImage DrawFolderButton(Look look, qreal scale) {
    QImage image = Blank(26, 26, scale, QColor(86, 58, 40));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor back = look == Look::kHover ? QColor(120, 84, 58) : look == Look::kPressed ? QColor(60, 40, 28)
                                                                                      : QColor(96, 66, 46);
    QColor folder = look == Look::kDisabled ? QColor(150, 140, 130) : QColor(246, 196, 96);
    painter.setPen(Qt::NoPen);
    painter.setBrush(back);
    painter.drawRoundedRect(QRectF(1, 1, 24, 24), 4, 4);
    painter.setBrush(folder.darker(115));
    painter.drawRoundedRect(QRectF(5, 7, 8, 5), 1.5, 1.5);
    painter.setBrush(folder);
    painter.drawRoundedRect(QRectF(5, 9, 16, 11), 2, 2);
    return image;
}

enum class CaptionGlyph { kGear, kMinus, kCross };

QImage DrawCaptionButton(CaptionGlyph glyph, Look look, qreal scale) {
    QImage image = Blank(25, 25, scale, kCaptionBottom);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor back = QColor(74, 48, 36);
    if (look == Look::kHover) back = glyph == CaptionGlyph::kCross ? QColor(190, 60, 30) : QColor(110, 72, 52);
    if (look == Look::kPressed) back = glyph == CaptionGlyph::kCross ? QColor(140, 36, 16) : QColor(48, 30, 22);
    painter.setPen(Qt::NoPen);
    painter.setBrush(back);
    painter.drawRoundedRect(QRectF(1, 1, 23, 23), 5, 5);
    QPen pen(QColor(244, 222, 190), 2.2, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QPointF centre(12.5, 12.5);
    switch (glyph) {
    case CaptionGlyph::kMinus: painter.drawLine(QPointF(7.5, 13), QPointF(17.5, 13)); break;
    case CaptionGlyph::kCross:
        painter.drawLine(QPointF(8, 8), QPointF(17, 17));
        painter.drawLine(QPointF(17, 8), QPointF(8, 17));
        break;
    case CaptionGlyph::kGear:
        painter.drawEllipse(centre, 3.5, 3.5);
        for (int tooth = 0; tooth < 8; ++tooth) {
            const double angle = tooth * 3.14159265358979 / 4.0;
            painter.drawLine(QPointF(centre.x() + 5.5 * std::cos(angle), centre.y() + 5.5 * std::sin(angle)),
                             QPointF(centre.x() + 7.5 * std::cos(angle), centre.y() + 7.5 * std::sin(angle)));
        }
        break;
    }
    return image;
}

QImage DrawBar(const QColor& top, const QColor& bottom, bool groove, qreal scale) {
    QImage image = Blank(286, 12, scale, kParchmentTop);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, 12);
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    painter.setPen(groove ? QPen(QColor(150, 110, 80)) : Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(0.5, 0.5, 285, 11), 5, 5);
    if (!groove) {
        painter.setPen(QColor(255, 255, 255, 90));
        painter.drawLine(QPointF(5, 2.5), QPointF(281, 2.5));
    }
    return image;
}

QImage DrawIcon() {
    QImage image = Blank(256, 256, 1.0);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient plate(0, 0, 0, 256);
    plate.setColorAt(0, QColor(70, 44, 32));
    plate.setColorAt(1, QColor(28, 18, 14));
    painter.setPen(Qt::NoPen);
    painter.setBrush(plate);
    painter.drawRoundedRect(QRectF(8, 8, 240, 240), 48, 48);
    // An ember flame over a downward arrow.
    QPainterPath flame;
    flame.moveTo(128, 32);
    flame.cubicTo(176, 84, 196, 118, 176, 154);
    flame.cubicTo(162, 180, 94, 180, 80, 154);
    flame.cubicTo(62, 120, 92, 96, 100, 70);
    flame.cubicTo(112, 92, 120, 96, 128, 32);
    QLinearGradient fire(0, 32, 0, 180);
    fire.setColorAt(0, QColor(255, 214, 110));
    fire.setColorAt(1, kEmber);
    painter.setBrush(fire);
    painter.drawPath(flame);
    painter.setBrush(QColor(246, 236, 214));
    painter.drawPolygon(QPolygonF({QPointF(108, 150), QPointF(148, 150), QPointF(148, 186), QPointF(174, 186),
                                   QPointF(128, 228), QPointF(82, 186), QPointF(108, 186)}));
    return image;
}

QImage DrawScrollTrack(qreal scale) { return Blank(3, 64, scale, QColor(52, 44, 40)); }

QImage DrawScrollThumb(qreal scale) {
    QImage image = Blank(3, 49, scale, QColor(173, 50, 1));
    QPainter painter(&image);
    painter.setPen(QColor(214, 92, 24));
    painter.drawLine(1, 1, 1, 47);
    return image;
}

QImage DrawFromSet(const int (&set)[4], int number, const QString& label, qreal scale) {
    const Look looks[4] = {Look::kNormal, Look::kPressed, Look::kHover, Look::kDisabled};
    for (int index = 0; index < 4; ++index)
        if (set[index] == number) return DrawMainButton(label, looks[index], scale);
    return {};
}

Look LookOf(const int (&set)[4], int number) {
    const Look looks[4] = {Look::kNormal, Look::kPressed, Look::kHover, Look::kDisabled};
    for (int index = 0; index < 4; ++index)
        if (set[index] == number) return looks[index];
    return Look::kNormal;
}

bool InSet(const int (&set)[4], int number) {
    for (int value : set)
        if (value != 0 && value == number) return true;
    return false;
}

}  // namespace

QString WindowFontFamily() { return QStringLiteral("Noto Sans CJK SC"); }

QImage DrawArtwork(int number, const QString& caption, qreal scale) {
    using namespace bitmap;
    if (number == kCompactBackground) return DrawBackground(false, caption, scale);
    if (number == kExpandedBackground) return DrawBackground(true, caption, scale);
    if (number == kIcon) return DrawIcon();
    if (number == kProgressTrack) return DrawBar(QColor(206, 186, 156), QColor(232, 218, 194), true, scale);
    if (number == kDownloadFill) return DrawBar(QColor(250, 160, 70), QColor(196, 76, 16), false, scale);
    if (number == kVerifyFill) return DrawBar(QColor(90, 160, 236), QColor(0, 65, 173), false, scale);
    if (number == kScrollTrack) return DrawScrollTrack(scale);
    if (number == kScrollThumb) return DrawScrollThumb(scale);
    const auto mainButton = [number, scale](const int (&set)[4], const QString& label) {
        return DrawFromSet(set, number, label, scale);
    };
    if (InSet(kStart, number)) return mainButton(kStart, i18n::Translated(UserText::buttonStart));
    if (InSet(kPause, number)) return mainButton(kPause, i18n::Translated(UserText::buttonPause));
    if (InSet(kContinue, number)) return mainButton(kContinue, i18n::Translated(UserText::buttonContinue));
    if (InSet(kInstall, number)) return mainButton(kInstall, i18n::Translated(UserText::buttonInstall));
    if (InSet(kFolder, number)) return DrawFolderButton(LookOf(kFolder, number), scale);
    if (InSet(kSettings, number)) return DrawCaptionButton(CaptionGlyph::kGear, LookOf(kSettings, number), scale);
    if (InSet(kMinimise, number)) return DrawCaptionButton(CaptionGlyph::kMinus, LookOf(kMinimise, number), scale);
    if (InSet(kClose, number)) return DrawCaptionButton(CaptionGlyph::kCross, LookOf(kClose, number), scale);
    return {};
}

QList<int> ArtworkNumbers() {
    using namespace bitmap;
    QList<int> numbers = {kIcon, kExpandedBackground, kScrollThumb, kScrollTrack, kProgressTrack,
                          kDownloadFill, kVerifyFill, kCompactBackground};
    for (const auto* set : {&kStart, &kPause, &kContinue, &kInstall, &kFolder, &kSettings, &kMinimise, &kClose})
        for (int value : *set)
            if (value != 0 && !numbers.contains(value)) numbers.append(value);
    return numbers;
}

}  // namespace veldmoor::ui
