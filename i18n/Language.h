#pragma once
// The player's language and the translations that go with it, for every
// front end (the window, veldmoor-cli). Needs QtCore only, so a front end
// without a display can use it.
#include <QString>
#include <functional>
#include <string>

#include "app/UserTexts.h"

class QCoreApplication;

namespace veldmoor::i18n {

// The languages the product speaks. Chinese is the language of the source
// texts; English is the one translation.
enum class Language { kChinese, kEnglish };

// The language for an environment, read as gettext does: LANGUAGE (a list
// in order of preference; the first entry we speak wins), then the message
// locale, the first of LC_ALL, LC_MESSAGES and LANG that is set. A Chinese
// locale, and none at all (unset, "C", "POSIX"), keep the source texts;
// any other language reads English, which more players read than Chinese.
Language LanguageFromEnvironment(const std::function<std::string(const char*)>& variable);
// The same for this process's environment.
Language ProcessLanguage();

// Installs the product's translation for `language` and Qt's own (the
// standard buttons' "Yes", "No", "OK"...) into `application`. False when a
// translation the language needs could not be loaded (the texts then stay
// as they are). A later call replaces what an earlier one installed.
bool InstallTranslations(QCoreApplication& application, Language language);

// The one lookup of a text the user reads, in the player's language: the
// texts of app/UserTexts and the product profile's (its name, its version
// line), all in the context "UserTexts". A text not found as it is is looked
// up by its form with its numbers as %1, %2, ... ("版本：0.122.13.20" by
// "版本：%1"); a text found neither way is shown as it is.
QString Translate(const std::string& text);

// A text of app/UserTexts in the player's language.
QString Translated(UserText text);

// The same lookup for the controller, which composes its texts itself: it
// translates a text's pattern before the details go in.
TextTranslator ControllerTranslator();

}  // namespace veldmoor::i18n
