#pragma once
// The desktop's own tools the window uses: the folder picker and the file
// manager. Tests put a recording shell in its place.
#include <QString>

class QWidget;

namespace veldmoor::ui {

class DesktopShell {
public:
    virtual ~DesktopShell() = default;
    // The chosen folder, or "" when the user cancelled.
    virtual QString PickFolder(QWidget* parent, const QString& title, const QString& initialFolder);
    // Opens the file manager on a folder.
    virtual bool OpenFolder(const QString& folder);
    // Opens the file manager on the file's folder with the file selected
    // (through the desktop's file-manager service; the plain folder when the
    // desktop has none).
    virtual bool ShowFileInFolder(const QString& file);
};

}  // namespace veldmoor::ui
