#pragma once
// The window's bitmaps, drawn by our own code the first time they are asked
// for. Numbers are the resource numbers the window's layout refers to; sizes
// match the rectangles they are drawn into. Areas a region cuts away carry the
// key colour.
#include <QColor>
#include <QImage>
#include <QString>

namespace veldmoor::ui {

inline const QColor kKeyColour(232, 5, 246);

namespace bitmap {
inline constexpr int kIcon = 128;
inline constexpr int kExpandedBackground = 140;
inline constexpr int kScrollThumb = 156;
inline constexpr int kScrollTrack = 163;
inline constexpr int kProgressTrack = 170;
inline constexpr int kDownloadFill = 171;
inline constexpr int kVerifyFill = 172;
inline constexpr int kCompactBackground = 186;
// Main buttons: normal, pressed, hover, disabled.
inline constexpr int kStart[4] = {198, 200, 199, 201};
inline constexpr int kPause[4] = {202, 204, 203, 205};
inline constexpr int kContinue[4] = {210, 212, 211, 213};
inline constexpr int kInstall[4] = {231, 233, 232, 234};
inline constexpr int kFolder[4] = {214, 216, 215, 235};
// Caption buttons have no disabled look (0).
inline constexpr int kSettings[4] = {228, 230, 229, 0};
inline constexpr int kMinimise[4] = {218, 220, 219, 0};
inline constexpr int kClose[4] = {222, 224, 223, 0};
}  // namespace bitmap

inline constexpr int kCompactWidth = 411;
inline constexpr int kCompactHeight = 307;
inline constexpr int kExpandedExtra = 78;

// Draws bitmap `number`; a null image for a number we have no drawing for.
// Needs a QGuiApplication (fonts). `caption` is written into the caption band
// of the backgrounds. At `scale` (the screen's device pixel ratio) the image
// has that many device pixels per window pixel and says so
// (devicePixelRatio), so it is drawn sharp; the icon is always 256 x 256.
QImage DrawArtwork(int number, const QString& caption, qreal scale = 1.0);

// Every number DrawArtwork knows, for exporting and tests.
QList<int> ArtworkNumbers();

// The family every painted text of the window uses.
QString WindowFontFamily();

}  // namespace veldmoor::ui
