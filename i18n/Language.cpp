#include "i18n/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>
#include <QTranslator>
#include <cstdlib>
#include <optional>

namespace veldmoor::i18n {
namespace {

constexpr char kUserTexts[] = "UserTexts";

std::optional<Language> LanguageOfLocale(const std::string& locale) {
    if (locale.empty() || locale == "C" || locale == "POSIX" || locale.starts_with("C.")) return std::nullopt;
    if (locale.starts_with("zh")) return Language::kChinese;
    return Language::kEnglish;
}

QString TranslateExactly(const QString& text) {
    return QCoreApplication::translate(kUserTexts, text.toUtf8().constData());
}

// The text with each number (digits, with dots between groups) as %1, %2, ...
QString NumberForm(const QString& text, QStringList& numbers) {
    static const QRegularExpression number(QStringLiteral("\\d+(?:\\.\\d+)*"));
    QString form;
    qsizetype from = 0;
    for (const QRegularExpressionMatch& match : number.globalMatch(text)) {
        form += text.mid(from, match.capturedStart() - from);
        numbers << match.captured();
        form += QLatin1Char('%') + QString::number(numbers.size());
        from = match.capturedEnd();
    }
    form += text.mid(from);
    return form;
}

QString TranslateWhole(const QString& text) {
    const QString exact = TranslateExactly(text);
    if (exact != text) return exact;
    QStringList numbers;
    const QString form = NumberForm(text, numbers);
    if (numbers.isEmpty() || numbers.size() > 9) return text;
    const QString translated = TranslateExactly(form);
    if (translated == form) return text;
    QString result = translated;
    for (qsizetype index = numbers.size(); index >= 1; --index)
        result.replace(QLatin1Char('%') + QString::number(index), numbers[index - 1]);
    return result;
}

}  // namespace

Language LanguageFromEnvironment(const std::function<std::string(const char*)>& variable) {
    // LANGUAGE names languages by preference; gettext ignores it for the C locale.
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = variable(name);
        if (!locale.empty()) break;
    }
    const std::optional<Language> fromLocale = LanguageOfLocale(locale);
    if (!fromLocale) return Language::kChinese;
    const QStringList preferred =
        QString::fromStdString(variable("LANGUAGE")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& entry : preferred) {
        if (entry.startsWith(QLatin1String("zh"))) return Language::kChinese;
        if (entry.startsWith(QLatin1String("en"))) return Language::kEnglish;
    }
    return *fromLocale;
}

Language ProcessLanguage() {
    return LanguageFromEnvironment([](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value != nullptr ? value : "");
    });
}

bool InstallTranslations(QCoreApplication& application, Language language) {
    // A second call switches: the translations of the first go.
    constexpr QLatin1StringView kName("veldmoor-translation");
    for (QTranslator* earlier : application.findChildren<QTranslator*>(kName, Qt::FindDirectChildrenOnly)) {
        QCoreApplication::removeTranslator(earlier);
        delete earlier;
    }
    // Qt's own texts are English; Chinese needs Qt's translation, English ours.
    auto* translator = new QTranslator(&application);
    translator->setObjectName(kName);
    const bool loaded =
        language == Language::kChinese
            ? translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))
            : translator->load(QStringLiteral(":/i18n/veldmoor_en.qm"));
    if (loaded) QCoreApplication::installTranslator(translator);
    QLocale::setDefault(language == Language::kChinese ? QLocale(QLocale::Chinese, QLocale::China)
                                                       : QLocale(QLocale::English, QLocale::UnitedStates));
    return loaded;
}

QString Translate(const std::string& text) { return TranslateWhole(QString::fromStdString(text)); }

QString Translated(UserText text) { return TranslateExactly(QString::fromUtf8(SourceText(text))); }

TextTranslator ControllerTranslator() {
    return [](const char* source) { return Translate(source).toStdString(); };
}

}  // namespace veldmoor::i18n
