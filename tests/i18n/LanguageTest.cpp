// The player's language from the environment, and controller texts in it:
// exact texts, texts with numbers, texts followed by the machine identifier.
#include "i18n/Language.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
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

TEST_F(ControllerTexts, ChineseStaysAsItIsAndEnglishIsLookedUpByForm) {
    const struct {
        std::string text;
        const char* english;
    } cases[] = {
        {"下载出错，请重试", "The download failed. Please try again."},
        {"下载出错，请重试\n（0x25FC768C, 0x078CC70F）", "The download failed. Please try again.\n（0x25FC768C, 0x078CC70F）"},
        {"3 分钟 5 秒", "3 min 5 s"},
        {"约 12 天", "about 12 days"},
        {"版本：0.122.13.20", "Version 0.122.13.20"},
        {"验证中：45.67%  ", "Verifying: 45.67%  "},
        {"MD5计算工作中……请等待完成", "Computing the MD5... please wait until it is done."},
        {"修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复\n（0x1, 0x2）",
         "Repair failed:\r\n\r\nThe installer is still damaged after several repairs. Please download the game another "
         "way,\r\nor restart the downloader to repair it again.\n（0x1, 0x2）"},
        {"1.2 MB/s", "1.2 MB/s"},
        {"a text nobody translated 42", "a text nobody translated 42"},
    };
    ASSERT_TRUE(InstallTranslations(*application_, Language::kChinese));
    for (const auto& c : cases) EXPECT_EQ(UserText(c.text).toStdString(), c.text);
    ASSERT_TRUE(InstallTranslations(*application_, Language::kEnglish));
    for (const auto& c : cases) EXPECT_EQ(UserText(c.text).toStdString(), c.english) << c.text;
}

}  // namespace
}  // namespace veldmoor::i18n
