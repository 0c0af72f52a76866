#pragma once
// The player's language and the translations that go with it, for every
// front end (the window, veldmoor-cli). Needs QtCore only, so a front end
// without a display can use it.
#include <QString>
#include <functional>
#include <string>

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

// A text of the download controller in the player's language. Controller
// texts are Chinese source texts; some carry numbers ("3 分钟 5 秒",
// "版本：0.122.13.20") or the machine identifier after the text, and are
// looked up by their form with the numbers as %1, %2, ...
QString UserText(const std::string& text);

}  // namespace veldmoor::i18n
