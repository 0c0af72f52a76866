#pragma once
// The window's texts in the user's language: the shared user texts looked up
// in the "UserTexts" translation context, shown as written when no
// translation is installed.
#include <QCoreApplication>
#include <QString>

#include "app/UserTexts.h"

namespace veldmoor::ui {

inline QString Translated(UserText text) { return QCoreApplication::translate("UserTexts", SourceText(text)); }

// For the controller, which composes its texts itself.
inline TextTranslator ControllerTranslator() {
    return [](const char* source) { return QCoreApplication::translate("UserTexts", source).toStdString(); };
}

}  // namespace veldmoor::ui
