#include "app/UserTexts.h"

#include <array>

// The marker lets Qt's tools find the texts; without Qt it is the text itself.
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(context, text) text
#endif

namespace veldmoor {
namespace {

constexpr std::array<const char*, static_cast<size_t>(UserText::count_)> kSources = {
    QT_TRANSLATE_NOOP("UserTexts", "是否验证安装文件的正确性？"),
    QT_TRANSLATE_NOOP("UserTexts", "网络连接超时，下载失败"),
    QT_TRANSLATE_NOOP("UserTexts", "磁盘空间不足，请检查并重新启动下载器！"),
    QT_TRANSLATE_NOOP("UserTexts", "下载出错，请重试"),
    QT_TRANSLATE_NOOP("UserTexts", "由于磁盘损坏无法写入，下载失败"),
    QT_TRANSLATE_NOOP("UserTexts", "预留磁盘空间不足，下载暂停。"),
    QT_TRANSLATE_NOOP("UserTexts", "当前磁盘空间不足，请选择其他位置存放。"),
    QT_TRANSLATE_NOOP("UserTexts", "当前磁盘空间不足，请选择其他位置存放"),
    QT_TRANSLATE_NOOP("UserTexts", "目标文件被删除或移动，请重新下载"),
    QT_TRANSLATE_NOOP("UserTexts", "下载启动失败请重试"),
    QT_TRANSLATE_NOOP("UserTexts", "下载源出错，请验证这个下载工具的md5是否正确"),
    QT_TRANSLATE_NOOP("UserTexts", "ErrorCode : %1"),
    QT_TRANSLATE_NOOP("UserTexts", "MD5计算工作中……请等待完成"),
    QT_TRANSLATE_NOOP("UserTexts", "部分文件错误，正在修复中..."),
    QT_TRANSLATE_NOOP("UserTexts", "请先将客户端下载完成，再点击检查按钮"),
    QT_TRANSLATE_NOOP("UserTexts",
                      "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复"),
    QT_TRANSLATE_NOOP("UserTexts", "检查线程创建失败，请重试"),
    QT_TRANSLATE_NOOP("UserTexts", "修复出错，请尝试重新启动下载器"),
    QT_TRANSLATE_NOOP("UserTexts", "安装程序丢失"),
    QT_TRANSLATE_NOOP("UserTexts",
                      "安装程序还没有经过验证，为了安全不会直接运行。请再点击“安装”，并在询问时选择验证。"),
    QT_TRANSLATE_NOOP("UserTexts",
                      "无法把安装程序设为可执行：保存位置不允许修改文件权限。请把它复制到您的主目录，"
                      "设为可执行后再运行。"),
    QT_TRANSLATE_NOOP("UserTexts",
                      "系统不允许在保存位置运行程序（磁盘可能以 noexec 方式挂载）。请把安装程序复制到您的"
                      "主目录后再运行。"),
    QT_TRANSLATE_NOOP("UserTexts", "安装程序正被其他程序写入，暂时无法运行。请稍后再点击“安装”。"),
    QT_TRANSLATE_NOOP("UserTexts", "安装程序无法在本系统上运行：它不是本系统的程序，或者缺少它需要的组件。"),
    QT_TRANSLATE_NOOP("UserTexts",
                      "本系统上没有能打开 .exe 文件的程序。请安装一个能运行 Windows 程序的软件，然后再点击"
                      "“安装”。"),
    QT_TRANSLATE_NOOP("UserTexts",
                      "本系统上没有能打开这种安装文件的程序。请安装一个能打开它的软件，然后再点击“安装”。"),
    QT_TRANSLATE_NOOP("UserTexts", "安装程序无法正常打开，请再点击“安装”重试。"),
    QT_TRANSLATE_NOOP("UserTexts", "安装失败"),
    QT_TRANSLATE_NOOP("UserTexts", "一分钟后将自动关机"),
    QT_TRANSLATE_NOOP("UserTexts", "自动关机失败，请手动关机"),
    QT_TRANSLATE_NOOP("UserTexts", "\n（%1）"),
    QT_TRANSLATE_NOOP("UserTexts", "待验证    "),
    QT_TRANSLATE_NOOP("UserTexts", "√ 验证通过  "),
    QT_TRANSLATE_NOOP("UserTexts", "验证中：%1"),
    QT_TRANSLATE_NOOP("UserTexts", "修复中：%1"),
    QT_TRANSLATE_NOOP("UserTexts", "准备修复.. "),
    QT_TRANSLATE_NOOP("UserTexts", "√ 下载完成  "),
    QT_TRANSLATE_NOOP("UserTexts", "准备下载    "),
    QT_TRANSLATE_NOOP("UserTexts", "未开始    "),
    QT_TRANSLATE_NOOP("UserTexts", "未知"),
    QT_TRANSLATE_NOOP("UserTexts", "约 %1 年"),
    QT_TRANSLATE_NOOP("UserTexts", "约 %1 月"),
    QT_TRANSLATE_NOOP("UserTexts", "约 %1 天"),
    QT_TRANSLATE_NOOP("UserTexts", "%1 小时 %2 分钟"),
    QT_TRANSLATE_NOOP("UserTexts", "%1 秒"),
    QT_TRANSLATE_NOOP("UserTexts", "%1 分钟 %2 秒"),
    QT_TRANSLATE_NOOP("UserTexts", "开始"),
    QT_TRANSLATE_NOOP("UserTexts", "暂停"),
    QT_TRANSLATE_NOOP("UserTexts", "继续"),
    QT_TRANSLATE_NOOP("UserTexts", "安装"),
    QT_TRANSLATE_NOOP("UserTexts", "修改"),
    QT_TRANSLATE_NOOP("UserTexts", "查看"),
    QT_TRANSLATE_NOOP("UserTexts", "开始下载"),
    QT_TRANSLATE_NOOP("UserTexts", "暂停下载"),
    QT_TRANSLATE_NOOP("UserTexts", "继续下载"),
    QT_TRANSLATE_NOOP("UserTexts", "修改保存位置"),
    QT_TRANSLATE_NOOP("UserTexts", "打开保存位置"),
    QT_TRANSLATE_NOOP("UserTexts", "最小化"),
    QT_TRANSLATE_NOOP("UserTexts", "退出(&X)"),
    QT_TRANSLATE_NOOP("UserTexts", "保存位置:"),
    QT_TRANSLATE_NOOP("UserTexts", "请选择安装包存放目录:"),
    QT_TRANSLATE_NOOP("UserTexts", "下载位置不存在"),
    QT_TRANSLATE_NOOP("UserTexts", "版本：%1"),
    QT_TRANSLATE_NOOP("UserTexts", "Name"),
    QT_TRANSLATE_NOOP("UserTexts", "Percent"),
    QT_TRANSLATE_NOOP("UserTexts", "√ 修复成功"),
    QT_TRANSLATE_NOOP("UserTexts", "√ 验证通过"),
    QT_TRANSLATE_NOOP("UserTexts", "下载完成"),
    QT_TRANSLATE_NOOP("UserTexts", "文件验证中..."),
    QT_TRANSLATE_NOOP("UserTexts", "修复准备..."),
    QT_TRANSLATE_NOOP("UserTexts", "修复中..."),
    QT_TRANSLATE_NOOP("UserTexts", "验证进度:"),
    QT_TRANSLATE_NOOP("UserTexts", "修复进度:"),
    QT_TRANSLATE_NOOP("UserTexts", "准备中"),
    QT_TRANSLATE_NOOP("UserTexts", "当前进度:"),
    QT_TRANSLATE_NOOP("UserTexts", "关闭"),
    QT_TRANSLATE_NOOP("UserTexts", "您点击了关闭按钮，您是想："),
    QT_TRANSLATE_NOOP("UserTexts", "最小化到系统托盘，不退出程序"),
    QT_TRANSLATE_NOOP("UserTexts", "退出程序"),
    QT_TRANSLATE_NOOP("UserTexts", "记住我的选择"),
    QT_TRANSLATE_NOOP("UserTexts", "确定"),
    QT_TRANSLATE_NOOP("UserTexts", "下载设置"),
    QT_TRANSLATE_NOOP("UserTexts", "速度设置"),
    QT_TRANSLATE_NOOP("UserTexts", "下载速度限制:"),
    QT_TRANSLATE_NOOP("UserTexts", "高级设置"),
    QT_TRANSLATE_NOOP("UserTexts", "下载完成后关机"),
    QT_TRANSLATE_NOOP("UserTexts", "启用P2P"),
    QT_TRANSLATE_NOOP("UserTexts", "设置"),
    QT_TRANSLATE_NOOP("UserTexts", "KB/s"),
    QT_TRANSLATE_NOOP("UserTexts", "提高限速"),
    QT_TRANSLATE_NOOP("UserTexts", "降低限速"),
    QT_TRANSLATE_NOOP("UserTexts", "限速 (KB/s)"),
    QT_TRANSLATE_NOOP("UserTexts", "取消"),
    QT_TRANSLATE_NOOP("UserTexts", "无限制"),
    QT_TRANSLATE_NOOP("UserTexts", "警告"),
    QT_TRANSLATE_NOOP("UserTexts", "您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！"),
    QT_TRANSLATE_NOOP("UserTexts", "启动失败（%1）"),
    QT_TRANSLATE_NOOP("UserTexts", "已记录的下载仍保存在 %1；--save-dir 只对新的下载有效"),
    QT_TRANSLATE_NOOP("UserTexts", "%1 %2，保存到 %3"),
    QT_TRANSLATE_NOOP("UserTexts", "正在停止，再次运行即可继续"),
    QT_TRANSLATE_NOOP("UserTexts", "下载失败，请再次运行重试"),
    QT_TRANSLATE_NOOP("UserTexts", "下载已停止，再次运行即可继续"),
    QT_TRANSLATE_NOOP("UserTexts", "下载失败"),
    QT_TRANSLATE_NOOP("UserTexts", "保存位置 %1 空间不足，请清理磁盘或用 --save-dir 选择其他位置"),
    QT_TRANSLATE_NOOP("UserTexts", "是否运行安装程序 %1？"),
    QT_TRANSLATE_NOOP("UserTexts", "已下载 %1"),
    QT_TRANSLATE_NOOP("UserTexts", "安装程序的 MD5 校验通过"),
    QT_TRANSLATE_NOOP("UserTexts", "已运行 %1"),
    QT_TRANSLATE_NOOP("UserTexts", "来自镜像 %1（%2 字节），来自其他用户 %3（%4 字节），下载用时 %5 秒"),
    QT_TRANSLATE_NOOP("UserTexts", "是"),
    QT_TRANSLATE_NOOP("UserTexts", "否"),
    QT_TRANSLATE_NOOP("UserTexts", "%1 %2（--verify）"),
    QT_TRANSLATE_NOOP("UserTexts", "%1 %2（无终端）"),
    QT_TRANSLATE_NOOP("UserTexts", "验证 %1"),
    QT_TRANSLATE_NOOP("UserTexts", "修复 %1"),
    QT_TRANSLATE_NOOP("UserTexts", "剩余 %1"),
    QT_TRANSLATE_NOOP("UserTexts", "（磁盘空间不足）"),
};

}  // namespace

const char* SourceText(UserText text) {
    const auto index = static_cast<size_t>(text);
    return index < kSources.size() ? kSources[index] : "";
}

std::string ComposeText(UserText text, const TextTranslator& translate, std::initializer_list<std::string> arguments) {
    const char* source = SourceText(text);
    const std::string pattern = translate ? translate(source) : std::string(source);
    std::string composed;
    composed.reserve(pattern.size());
    for (size_t at = 0; at < pattern.size(); ++at) {
        const char next = at + 1 < pattern.size() ? pattern[at + 1] : '\0';
        const size_t argument = static_cast<size_t>(next - '1');
        if (pattern[at] == '%' && next >= '1' && next <= '9' && argument < arguments.size()) {
            composed += *(arguments.begin() + argument);
            ++at;
            continue;
        }
        composed += pattern[at];
    }
    return composed;
}

}  // namespace veldmoor
