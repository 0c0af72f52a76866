#pragma once
// Texts the controller shows to the user are written in Chinese and marked
// with QT_TRANSLATE_NOOP("UserTexts", ...): lupdate collects them into the
// translations, and the front ends show
// QCoreApplication::translate("UserTexts", text). This folder has no Qt, so
// the mark is defined here as the text itself.
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(context, text) text
#endif
