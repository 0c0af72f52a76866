// The player's language from the environment, and the texts in it: the
// controller's composed texts (with numbers, followed by the machine
// identifier), the window's, and the profile's looked up by their form.
#include "i18n/Language.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <functional>
#include <map>

namespace veldmoor::i18n {
namespace {

Language From(const std::map<std::string, std::string>& environment) {
    return LanguageFromEnvironment([&](const char* name) {
        const auto found = environment.find(name);
        return found != environment.end() ? found->second : std::string();
    });
}

TEST(PlayerLanguage, FollowsLanguageThenTheMessageLocale) {
    const struct {
        std::map<std::string, std::string> environment;
        Language expected;
    } cases[] = {
        {{}, Language::kChinese},
        {{{"LANG", "C.UTF-8"}}, Language::kChinese},
        {{{"LANG", "POSIX"}}, Language::kChinese},
        {{{"LANG", "zh_CN.UTF-8"}}, Language::kChinese},
        {{{"LANG", "en_US.UTF-8"}}, Language::kEnglish},
        {{{"LANG", "de_DE.UTF-8"}}, Language::kEnglish},
        {{{"LANG", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_GB.UTF-8"}}, Language::kEnglish},
        {{{"LC_MESSAGES", "en_GB.UTF-8"}, {"LC_ALL", "zh_TW.UTF-8"}}, Language::kChinese},
        {{{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "zh_CN:en"}}, Language::kChinese},
        {{{"LANG", "zh_CN.UTF-8"}, {"LANGUAGE", "fr:en_GB"}}, Language::kEnglish},
        {{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "de:fr"}}, Language::kEnglish},
        // gettext ignores LANGUAGE for the C locale.
        {{{"LANG", "C"}, {"LANGUAGE", "en"}}, Language::kChinese},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& [name, value] : c.environment) shown += name + "=" + value + " ";
        EXPECT_EQ(From(c.environment), c.expected) << shown;
    }
}

class ControllerTexts : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "i18n_tests";
        static char* argv[] = {name, nullptr};
        application_ = new QCoreApplication(argc, argv);
    }
    static QCoreApplication* application_;
};
QCoreApplication* ControllerTexts::application_ = nullptr;

TEST_F(ControllerTexts, ChineseStaysAsItIsAndEnglishIsLookedUp) {
    // Each case is shown the way a front end shows it, so it is made anew in each language.
    const auto notice = [](UserText text, const std::string& machineId) {
        const TextTranslator translate = ControllerTranslator();
        return ComposeText(text, translate) + ComposeText(UserText::machineIdLine, translate, {machineId});
    };
    const struct {
        std::function<std::string()> shown;
        std::string chinese;
        std::string english;
    } cases[] = {
        {[] { return ComposeText(UserText::downloadErrorRetry, ControllerTranslator()); }, "下载出错，请重试",
         "The download failed. Please try again."},
        {[&] { return notice(UserText::downloadErrorRetry, "0x25FC768C, 0x078CC70F"); },
         "下载出错，请重试\n（0x25FC768C, 0x078CC70F）",
         "The download failed. Please try again.\n（0x25FC768C, 0x078CC70F）"},
        {[] { return ComposeText(UserText::minutesSeconds, ControllerTranslator(), {"3", "5"}); }, "3 分钟 5 秒",
         "3 min 5 s"},
        {[] { return ComposeText(UserText::aboutDays, ControllerTranslator(), {"12"}); }, "约 12 天", "about 12 days"},
        {[] { return ComposeText(UserText::rowVerifying, ControllerTranslator(), {"45.67%  "}); },
         "验证中：45.67%  ", "Verifying: 45.67%  "},
        {[] { return ComposeText(UserText::md5Busy, ControllerTranslator()); }, "MD5计算工作中……请等待完成",
         "Computing the MD5... please wait until it is done."},
        {[&] { return notice(UserText::repairFailedForGood, "0x1, 0x2"); },
         "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复\n（0x1, 0x2）",
         "Repair failed:\r\n\r\nThe installer is still damaged after several repairs. Please download the game another "
         "way,\r\nor restart the downloader to repair it again.\n（0x1, 0x2）"},
        {[] { return Translated(UserText::buttonStart).toStdString(); }, "开始", "Start"},
        {[] { return Translate("版本：0.122.13.20").toStdString(); }, "版本：0.122.13.20", "Version 0.122.13.20"},
        {[] { return Translate("1.2 MB/s").toStdString(); }, "1.2 MB/s", "1.2 MB/s"},
        {[] { return Translate("a text nobody translated 42").toStdString(); }, "a text nobody translated 42",
         "a text nobody translated 42"},
    };
    ASSERT_TRUE(InstallTranslations(*application_, Language::kChinese));
    for (const auto& c : cases) EXPECT_EQ(c.shown(), c.chinese);
    ASSERT_TRUE(InstallTranslations(*application_, Language::kEnglish));
    for (const auto& c : cases) EXPECT_EQ(c.shown(), c.english) << c.chinese;
}

}  // namespace
}  // namespace veldmoor::i18n
