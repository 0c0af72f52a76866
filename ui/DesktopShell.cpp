#include "ui/DesktopShell.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QUrl>

namespace veldmoor::ui {

QString DesktopShell::PickFolder(QWidget* parent, const QString& title, const QString& initialFolder) {
    return QFileDialog::getExistingDirectory(parent, title, initialFolder, QFileDialog::ShowDirsOnly);
}

bool DesktopShell::OpenFolder(const QString& folder) {
    if (folder.isEmpty()) return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

bool DesktopShell::ShowFileInFolder(const QString& file) {
    static const QString kService = QStringLiteral("org.freedesktop.FileManager1");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface() != nullptr && bus.interface()->isServiceRegistered(kService)) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/FileManager1"),
                                                           kService, QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(file).toString()} << QString();
        if (bus.call(call, QDBus::Block, 3000).type() == QDBusMessage::ReplyMessage) return true;
    }
    return OpenFolder(QFileInfo(file).absolutePath());
}

}  // namespace veldmoor::ui
