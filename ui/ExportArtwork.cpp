// Writes the window's artwork as files: the program icon for the desktop
// entry, and every bitmap by number (for skinning, or to start a "res"
// override from). Usage: veldmoor-artwork FOLDER
#include <QDir>
#include <QGuiApplication>
#include <cstdio>

#include "ui/Artwork.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: veldmoor-artwork FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "veldmoor-artwork: cannot create %s\n", argv[1]);
        return 1;
    }
    // The icon theme's usual sizes; "veldmoor.png" is the 256-pixel one.
    const QImage icon = veldmoor::ui::DrawArtwork(veldmoor::ui::bitmap::kIcon, QString());
    bool ok = icon.scaled(256, 256, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                  .save(folder + QStringLiteral("/veldmoor.png"));
    for (int size : {16, 22, 24, 32, 48, 64, 128})
        ok = icon.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                 .save(folder + QStringLiteral("/veldmoor-%1.png").arg(size)) && ok;
    for (int number : veldmoor::ui::ArtworkNumbers())
        ok = veldmoor::ui::DrawArtwork(number, QStringLiteral("Veldmoor"))
                 .convertToFormat(QImage::Format_RGB32)
                 .save(folder + QStringLiteral("/%1.bmp").arg(number)) && ok;
    if (!ok) {
        std::fprintf(stderr, "veldmoor-artwork: cannot write into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
