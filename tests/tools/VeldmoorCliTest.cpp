// veldmoor-cli's own parts: its arguments, its status line, how its view
// answers the controller's question, and its note on where bytes came from.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <functional>
#include <map>

#include "i18n/Language.h"
#include "tools/veldmoor-cli/CliOptions.h"
#include "tools/veldmoor-cli/CliTexts.h"
#include "tools/veldmoor-cli/StatusLine.h"
#include "tools/veldmoor-cli/Terminal.h"
#include "tools/veldmoor-cli/TerminalView.h"
#include "tools/veldmoor-cli/TransferTally.h"

namespace veldmoor::cli {
namespace {

CliParse Parse(std::vector<std::string_view> arguments) { return ParseCliArguments(arguments); }

using Environment = std::map<std::string, std::string>;
const Environment kEnglishLocale{{"LANG", "en_US.UTF-8"}};

// Translations need an application object; one for every test here.
QCoreApplication& Application() {
    static int argc = 1;
    static char name[] = "cli_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    return application;
}

// The language veldmoor-cli takes from `environment`, installed as it does.
// False when a translation it needs could not be loaded.
bool SpeakAsIn(const Environment& environment) {
    const i18n::Language language = i18n::LanguageFromEnvironment([&](const char* variable) {
        const auto found = environment.find(variable);
        return found != environment.end() ? found->second : std::string();
    });
    return i18n::InstallTranslations(Application(), language);
}

TEST(CliOptionsTest, AcceptsEveryOption) {
    const CliParse parse =
        Parse({"--verify", "no", "--install", "yes", "--save-dir", "/tmp/x", "--limit", "512", "--p2p", "off"});
    ASSERT_EQ(parse.error, "");
    EXPECT_EQ(parse.options.verify, std::optional<bool>(false));
    EXPECT_EQ(parse.options.install, std::optional<bool>(true));
    EXPECT_EQ(parse.options.saveDirectory, "/tmp/x");
    EXPECT_EQ(parse.options.limitKib, 512u);
    EXPECT_EQ(parse.options.p2p, std::optional<bool>(false));
    EXPECT_FALSE(parse.options.help);

    const CliParse none = Parse({});
    EXPECT_EQ(none.error, "");
    EXPECT_FALSE(none.options.verify.has_value()) << "unanswered questions are asked or default";
    EXPECT_FALSE(none.options.install.has_value());
    EXPECT_TRUE(Parse({"-h"}).options.help);
}

TEST(CliOptionsTest, RefusesBadArguments) {
    const struct {
        std::vector<std::string_view> arguments;
        const char* error;
    } cases[] = {
        {{"--verify", "maybe"}, "--verify takes yes or no"},
        {{"--install", "Yes"}, "--install takes yes or no"},
        {{"--p2p", "yes"}, "--p2p takes on or off"},
        {{"--limit", "32767"}, "--limit takes KiB/s from 0 to 32766"},
        {{"--limit", "12k"}, "--limit takes KiB/s from 0 to 32766"},
        {{"--limit", "-1"}, "--limit takes KiB/s from 0 to 32766"},
        {{"--save-dir", ""}, "--save-dir needs a folder"},
        {{"--verify"}, "--verify needs a value"},
        {{"--colour", "red"}, "unknown argument --colour"},
        {{"stray"}, "unknown argument stray"},
    };
    for (const auto& row : cases) EXPECT_EQ(Parse(row.arguments).error, row.error) << row.arguments.front();
}

TEST(StatusLineTest, ShowsWhatEachStateHas) {
    ASSERT_TRUE(SpeakAsIn(kEnglishLocale));
    StatusSnapshot downloading{DownloadState::downloading, "45.67%", "1.2 GB/1.9 GB", "3.4 MB/s", "1 分钟 2 秒", 0, 0,
                               false};
    EXPECT_EQ(FormatStatusLine(downloading), "downloading  45.67%  1.2 GB/1.9 GB  3.4 MB/s  1 分钟 2 秒 left");

    StatusSnapshot ready{DownloadState::ready, "0%", "0 B/1.9 GB", "0 B/s", "", 0, 0, true};
    EXPECT_EQ(FormatStatusLine(ready), "ready  0%  0 B/1.9 GB  0 B/s  (disk low)");

    StatusSnapshot checking{DownloadState::md5checking, "100%", "1.9 GB/1.9 GB", "0 B/s", "", 4500, 0, false};
    EXPECT_EQ(FormatStatusLine(checking), "md5checking  verify 45%");
    // A last partial block may push the verify progress past 10000.
    checking.verifyPermyriad = 10001;
    EXPECT_EQ(FormatStatusLine(checking), "md5checking  verify 100%");

    StatusSnapshot repairing{DownloadState::checkrecover, "100%", "", "2.0 MB/s", "", 0, 1234, false};
    EXPECT_EQ(FormatStatusLine(repairing), "checkrecover  repair 12.34%  2.0 MB/s");

    EXPECT_EQ(StateText(DownloadState::installing), "installing");
    EXPECT_EQ(StateText(DownloadState::exited), "exited");
    EXPECT_EQ(StateText(DownloadState::checkfinished), "checkfinished");
}

TEST(TerminalViewTest, AnswersTheVerifyQuestionFromTheFlagOrYesWithoutATerminal) {
    Terminal terminal(false, false);
    const std::string caption = "Veldmoor演示下载器";
    const UserMessage question{UserText::verifyQuestion, caption, "是否验证安装文件的正确性？"};
    EXPECT_FALSE(TerminalView(terminal, false).AskYesNo(question));
    EXPECT_TRUE(TerminalView(terminal, true).AskYesNo(question));
    EXPECT_TRUE(TerminalView(terminal, std::nullopt).AskYesNo(question));
    // A question it does not know is declined, whatever --verify said; the
    // words do not matter, only which text it is.
    EXPECT_FALSE(TerminalView(terminal, true).AskYesNo({UserText::startFailedRetry, caption, question.text}));
}

TEST(TerminalViewTest, WindowEndAndVerifiedMessageBecomeFlagsForTheRunLoop) {
    Terminal terminal(false, false);
    TerminalView view(terminal, std::nullopt);
    EXPECT_FALSE(view.WindowDestroyed());
    EXPECT_FALSE(view.TakeVerifyPassed());
    view.PostVerifyPassed();
    EXPECT_TRUE(view.TakeVerifyPassed());
    EXPECT_FALSE(view.TakeVerifyPassed()) << "one message, one answer";
    view.ShowNotice({UserText::downloadErrorRetry, "c", "下载出错，请重试"});
    EXPECT_FALSE(view.DownloadFailureNoticed()) << "a retry the controller handles by pausing";
    view.ShowNotice({UserText::noFileSizeTimeout, "c", "Connection timed out\n（0123）"});
    EXPECT_TRUE(view.DownloadFailureNoticed()) << "known by its id, in any language";
    view.DestroyWindow();
    EXPECT_TRUE(view.WindowDestroyed());
}

TEST(TerminalViewTest, NoticesAndTheQuestionInThePlayersLanguage) {
    ASSERT_TRUE(i18n::InstallTranslations(Application(), i18n::Language::kEnglish));
    Terminal terminal(false, false);
    TerminalView view(terminal, true);
    // What the controller hands over with the lookup veldmoor-cli gives it.
    const TextTranslator translate = i18n::ControllerTranslator();
    const std::string caption = translate("Veldmoor演示下载器");
    ::testing::internal::CaptureStderr();
    view.ShowNotice({UserText::downloadErrorRetry, caption,
                     ComposeText(UserText::downloadErrorRetry, translate) +
                         ComposeText(UserText::machineIdLine, translate, {"0x25FC768C"})});
    EXPECT_TRUE(view.AskYesNo({UserText::verifyQuestion, caption, ComposeText(UserText::verifyQuestion, translate)}))
        << "known by its id in any language";
    const std::string english = ::testing::internal::GetCapturedStderr();
    i18n::InstallTranslations(Application(), i18n::Language::kChinese);
    EXPECT_NE(english.find("[Veldmoor Demo Downloader] The download failed. Please try again.\n（0x25FC768C）"),
              std::string::npos)
        << english;
    EXPECT_NE(english.find("Verify that the installer file is intact? yes (--verify)"), std::string::npos) << english;
}

TEST(TransferTallyTest, RemembersTheLatestSnapshotAndPassesEveryEventOn) {
    ASSERT_TRUE(SpeakAsIn(kEnglishLocale));
    class Counting final : public IEventSink {
    public:
        bool Start(const StatisticsIdentity&) override { return true; }
        void Stop() override {}
        std::string MachineIdText() const override { return "ID"; }
        void SimpleEvent(const std::string&, const std::string&, const std::string&) override { ++events; }
        void ProgressEvent(const std::string&, const std::string&, const ProgressSnapshot&) override { ++events; }
        void PieceCheckEvent(const std::string&, const std::string&, uint32_t, const std::string&) override {
            ++events;
        }
        int events = 0;
    } next;
    TransferTally tally(next);
    EXPECT_EQ(TallyText(tally.Latest()), "");
    ProgressSnapshot first;
    first.httpBytes = 1048576;
    first.peerBytes = 0;
    first.totalSeconds = 3;
    tally.ProgressEvent("11020000", "", first);
    ProgressSnapshot second = first;
    second.peerBytes = 2048;
    tally.ProgressEvent("11060000", "", second);
    tally.SimpleEvent("11080000", "f", "");
    tally.PieceCheckEvent("11500101", "127.0.0.1", 1, "f");
    EXPECT_EQ(next.events, 4);
    EXPECT_EQ(tally.MachineIdText(), "ID");
    EXPECT_EQ(TallyText(tally.Latest()),
              "from mirrors 1.0 MB (1048576 bytes), from peers 2.0 KB (2048 bytes), in 3 s of downloading");
}

TEST(CliTextsTest, ChineseWithoutALocaleEnglishWithAnEnglishOne) {
    ProgressSnapshot transfer;
    transfer.httpBytes = 1048576;
    transfer.peerBytes = 0;
    transfer.totalSeconds = 3;
    const StatusSnapshot checking{DownloadState::md5checking, "100%", "1.9 GB/1.9 GB", "0 B/s", "", 4500, 0, true};
    const struct {
        std::function<std::string()> shown;
        const char* chinese;
        const char* english;
    } cases[] = {
        {[] { return CliNotice(UserText::cliStopping); }, "veldmoor-cli: 正在停止，再次运行即可继续",
         "veldmoor-cli: stopping; run again to continue"},
        {[] { return CliNotice(UserText::cliNoRoom, {"/srv/save"}); },
         "veldmoor-cli: 保存位置 /srv/save 空间不足，请清理磁盘或用 --save-dir 选择其他位置",
         "veldmoor-cli: not enough room in /srv/save; free some or choose another folder with --save-dir"},
        {[] { return CliNotice(UserText::cliLaunched, {"/srv/save/setup.run"}); },
         "veldmoor-cli: 已运行 /srv/save/setup.run", "veldmoor-cli: launched /srv/save/setup.run"},
        {[&] { return TallyText(transfer); }, "来自镜像 1.0 MB（1048576 字节），来自其他用户 0 B（0 字节），下载用时 3 秒",
         "from mirrors 1.0 MB (1048576 bytes), from peers 0 B (0 bytes), in 3 s of downloading"},
        {[&] { return FormatStatusLine(checking); }, "md5checking  验证 45%  （磁盘空间不足）",
         "md5checking  verify 45%  (disk low)"},
    };
    for (const Environment& environment : {Environment{}, kEnglishLocale}) {
        const bool english = !environment.empty();
        const bool installed = SpeakAsIn(environment);
        // Chinese needs no translation of ours, only Qt's for its buttons.
        if (english) {
            ASSERT_TRUE(installed) << "the English translation";
        }
        for (const auto& row : cases) EXPECT_EQ(row.shown(), english ? row.english : row.chinese) << row.english;
    }
}

}  // namespace
}  // namespace veldmoor::cli
