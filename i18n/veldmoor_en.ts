<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>UserTexts</name>
    <message>
        <source>安装失败</source>
        <translation>Installation failed</translation>
    </message>
    <message>
        <source>安装程序丢失</source>
        <translation>The installer is missing. Download it again with Start.</translation>
    </message>
    <message>
        <source>自动关机失败，请手动关机</source>
        <translation>Automatic shutdown failed; please shut down the computer yourself.</translation>
    </message>
    <message>
        <source>网络连接超时，下载失败</source>
        <translation>The network connection timed out; the download failed.</translation>
    </message>
    <message>
        <source>磁盘空间不足，请检查并重新启动下载器！</source>
        <translation>The disk is full. Free some space and start the downloader again.</translation>
    </message>
    <message>
        <source>下载出错，请重试</source>
        <translation>The download failed. Please try again.</translation>
    </message>
    <message>
        <source>由于磁盘损坏无法写入，下载失败</source>
        <translation>The download failed: the disk is damaged and cannot be written.</translation>
    </message>
    <message>
        <source>预留磁盘空间不足，下载暂停。</source>
        <translation>Not enough disk space left; the download is paused.</translation>
    </message>
    <message>
        <source>当前磁盘空间不足，请选择其他位置存放。</source>
        <translation>Not enough disk space here; please choose another folder.</translation>
    </message>
    <message>
        <source>待验证    </source>
        <translation>To verify    </translation>
    </message>
    <message>
        <source>√ 验证通过  </source>
        <translation>√ Verified  </translation>
    </message>
    <message>
        <source>准备修复.. </source>
        <translation>Preparing repair.. </translation>
    </message>
    <message>
        <source>√ 下载完成  </source>
        <translation>√ Downloaded  </translation>
    </message>
    <message>
        <source>准备下载    </source>
        <translation>Preparing    </translation>
    </message>
    <message>
        <source>未开始    </source>
        <translation>Not started    </translation>
    </message>
    <message>
        <source>修复失败：<byte value="xd"/>
<byte value="xd"/>
多次修复安装文件仍然出错，请尝试其他方式下载客户端<byte value="xd"/>
或重启下载器进行再次修复</source>
        <translation>Repair failed:<byte value="xd"/>
<byte value="xd"/>
The installer is still damaged after several repairs. Please download the game another way,<byte value="xd"/>
or restart the downloader to repair it again.</translation>
    </message>
    <message>
        <source>是否验证安装文件的正确性？</source>
        <translation>Verify that the installer file is intact?</translation>
    </message>
    <message>
        <source>部分文件错误，正在修复中...</source>
        <translation>Parts of the file are damaged; repairing...</translation>
    </message>
    <message>
        <source>MD5计算工作中……请等待完成</source>
        <translation>Computing the MD5... please wait until it is done.</translation>
    </message>
    <message>
        <source>请先将客户端下载完成，再点击检查按钮</source>
        <translation>Please finish the download before verifying it.</translation>
    </message>
    <message>
        <source>检查线程创建失败，请重试</source>
        <translation>The verification could not start. Please try again.</translation>
    </message>
    <message>
        <source>修复出错，请尝试重新启动下载器</source>
        <translation>The repair failed. Please restart the downloader.</translation>
    </message>
    <message>
        <source>未知</source>
        <translation>unknown</translation>
    </message>
    <message>
        <source>目标文件被删除或移动，请重新下载</source>
        <translation>The downloaded file was deleted or moved. Please download it again.</translation>
    </message>
    <message>
        <source>下载启动失败请重试</source>
        <translation>The download could not start. Please try again.</translation>
    </message>
    <message>
        <source>下载源出错，请验证这个下载工具的md5是否正确</source>
        <translation>The download source is broken. Please check that this downloader is genuine (its MD5).</translation>
    </message>
    <message>
        <source>当前磁盘空间不足，请选择其他位置存放</source>
        <translation>Not enough disk space here; please choose another folder</translation>
    </message>
    <message>
        <source>安装程序还没有经过验证，为了安全不会直接运行。请再点击“安装”，并在询问时选择验证。</source>
        <translation>The installer has not been verified, so for your safety it is not run directly. Press Install again and choose to verify it when asked.</translation>
    </message>
    <message>
        <source>无法把安装程序设为可执行：保存位置不允许修改文件权限。请把它复制到您的主目录，设为可执行后再运行。</source>
        <translation>The installer could not be made executable: the save folder does not allow changing file permissions. Copy it to your home folder, make it executable and run it there.</translation>
    </message>
    <message>
        <source>系统不允许在保存位置运行程序（磁盘可能以 noexec 方式挂载）。请把安装程序复制到您的主目录后再运行。</source>
        <translation>The system does not allow programs to run from the save folder (its disk may be mounted noexec). Copy the installer to your home folder and run it there.</translation>
    </message>
    <message>
        <source>安装程序正被其他程序写入，暂时无法运行。请稍后再点击“安装”。</source>
        <translation>Another program is still writing the installer, so it cannot run yet. Press Install again in a moment.</translation>
    </message>
    <message>
        <source>安装程序无法在本系统上运行：它不是本系统的程序，或者缺少它需要的组件。</source>
        <translation>The installer cannot run on this system: it is not a program for this system, or something it needs is missing.</translation>
    </message>
    <message>
        <source>本系统上没有能打开 .exe 文件的程序。请安装一个能运行 Windows 程序的软件，然后再点击“安装”。</source>
        <translation>No program on this system opens .exe files. Install one that runs Windows programs, then press Install again.</translation>
    </message>
    <message>
        <source>本系统上没有能打开这种安装文件的程序。请安装一个能打开它的软件，然后再点击“安装”。</source>
        <translation>No program on this system opens this kind of installer file. Install one that does, then press Install again.</translation>
    </message>
    <message>
        <source>安装程序无法正常打开，请再点击“安装”重试。</source>
        <translation>The installer could not be started. Press Install to try again.</translation>
    </message>
    <message>
        <source>Veldmoor演示下载器</source>
        <translation>Veldmoor Demo Downloader</translation>
    </message>
    <message>
        <source>约 %1 年</source>
        <translation>about %1 years</translation>
    </message>
    <message>
        <source>约 %1 月</source>
        <translation>about %1 months</translation>
    </message>
    <message>
        <source>约 %1 天</source>
        <translation>about %1 days</translation>
    </message>
    <message>
        <source>%1 小时 %2 分钟</source>
        <translation>%1 h %2 min</translation>
    </message>
    <message>
        <source>%1 分钟 %2 秒</source>
        <translation>%1 min %2 s</translation>
    </message>
    <message>
        <source>%1 秒</source>
        <translation>%1 s</translation>
    </message>
    <message>
        <source>版本：%1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>ErrorCode : %1</source>
        <translation>Error code: %1</translation>
    </message>
    <message>
        <source>一分钟后将自动关机</source>
        <translation>The computer will shut down in one minute.</translation>
    </message>
    <message>
        <source>
（%1）</source>
        <translation>
（%1）</translation>
    </message>
    <message>
        <source>验证中：%1</source>
        <translation>Verifying: %1</translation>
    </message>
    <message>
        <source>修复中：%1</source>
        <translation>Repairing: %1</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>继续</source>
        <translation>Resume</translation>
    </message>
    <message>
        <source>安装</source>
        <translation>Install</translation>
    </message>
    <message>
        <source>修改</source>
        <translation>Change folder</translation>
    </message>
    <message>
        <source>查看</source>
        <translation>Show folder</translation>
    </message>
    <message>
        <source>开始下载</source>
        <translation>Start the download</translation>
    </message>
    <message>
        <source>暂停下载</source>
        <translation>Pause the download</translation>
    </message>
    <message>
        <source>继续下载</source>
        <translation>Resume the download</translation>
    </message>
    <message>
        <source>修改保存位置</source>
        <translation>Change the save folder</translation>
    </message>
    <message>
        <source>打开保存位置</source>
        <translation>Open the save folder</translation>
    </message>
    <message>
        <source>最小化</source>
        <translation>Minimise</translation>
    </message>
    <message>
        <source>退出(&amp;X)</source>
        <translation>E&amp;xit</translation>
    </message>
    <message>
        <source>保存位置:</source>
        <translation>Save to:</translation>
    </message>
    <message>
        <source>请选择安装包存放目录:</source>
        <translation>Choose the folder for the installer:</translation>
    </message>
    <message>
        <source>下载位置不存在</source>
        <translation>The download folder does not exist.</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>Percent</source>
        <translation>Percent</translation>
    </message>
    <message>
        <source>√ 修复成功</source>
        <translation>√ Repaired</translation>
    </message>
    <message>
        <source>√ 验证通过</source>
        <translation>√ Verified</translation>
    </message>
    <message>
        <source>下载完成</source>
        <translation>Download complete</translation>
    </message>
    <message>
        <source>文件验证中...</source>
        <translation>Verifying...</translation>
    </message>
    <message>
        <source>修复准备...</source>
        <translation>Preparing...</translation>
    </message>
    <message>
        <source>修复中...</source>
        <translation>Repairing...</translation>
    </message>
    <message>
        <source>验证进度:</source>
        <translation>Verify:</translation>
    </message>
    <message>
        <source>修复进度:</source>
        <translation>Repair:</translation>
    </message>
    <message>
        <source>准备中</source>
        <translation>pending</translation>
    </message>
    <message>
        <source>当前进度:</source>
        <translation>Progress:</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>您点击了关闭按钮，您是想：</source>
        <translation>You pressed the close button. Do you want to:</translation>
    </message>
    <message>
        <source>最小化到系统托盘，不退出程序</source>
        <translation>Minimise to the system tray and keep running</translation>
    </message>
    <message>
        <source>退出程序</source>
        <translation>Quit the program</translation>
    </message>
    <message>
        <source>记住我的选择</source>
        <translation>Remember my choice</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>下载设置</source>
        <translation>Download settings</translation>
    </message>
    <message>
        <source>速度设置</source>
        <translation>Speed</translation>
    </message>
    <message>
        <source>下载速度限制:</source>
        <translation>Limit the download speed to:</translation>
    </message>
    <message>
        <source>高级设置</source>
        <translation>Advanced</translation>
    </message>
    <message>
        <source>下载完成后关机</source>
        <translation>Shut down the computer when the download is done</translation>
    </message>
    <message>
        <source>启用P2P</source>
        <translation>Use P2P</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Apply</translation>
    </message>
    <message>
        <source>KB/s</source>
        <translation>KB/s</translation>
    </message>
    <message>
        <source>提高限速</source>
        <translation>Raise the limit</translation>
    </message>
    <message>
        <source>降低限速</source>
        <translation>Lower the limit</translation>
    </message>
    <message>
        <source>限速 (KB/s)</source>
        <translation>Speed limit (KB/s)</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>无限制</source>
        <translation>no limit</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！</source>
        <translation>The speed you set is outside the allowed range [10KB/s - 30000KB/s]. Please set the limit again.</translation>
    </message>
    <message>
        <source>启动失败（%1）</source>
        <translation>start-up failed (%1)</translation>
    </message>
    <message>
        <source>已记录的下载仍保存在 %1；--save-dir 只对新的下载有效</source>
        <translation>the download on record stays in %1; --save-dir applies to a new download only</translation>
    </message>
    <message>
        <source>%1 %2，保存到 %3</source>
        <translation>%1 %2, saving to %3</translation>
    </message>
    <message>
        <source>正在停止，再次运行即可继续</source>
        <translation>stopping; run again to continue</translation>
    </message>
    <message>
        <source>下载失败，请再次运行重试</source>
        <translation>the download failed; run again to retry</translation>
    </message>
    <message>
        <source>下载已停止，再次运行即可继续</source>
        <translation>the download stopped; run again to continue</translation>
    </message>
    <message>
        <source>下载失败</source>
        <translation>the download failed</translation>
    </message>
    <message>
        <source>保存位置 %1 空间不足，请清理磁盘或用 --save-dir 选择其他位置</source>
        <translation>not enough room in %1; free some or choose another folder with --save-dir</translation>
    </message>
    <message>
        <source>是否运行安装程序 %1？</source>
        <translation>launch the installer %1?</translation>
    </message>
    <message>
        <source>已下载 %1</source>
        <translation>downloaded %1</translation>
    </message>
    <message>
        <source>安装程序的 MD5 校验通过</source>
        <translation>the installer&apos;s MD5 matches</translation>
    </message>
    <message>
        <source>已运行 %1</source>
        <translation>launched %1</translation>
    </message>
    <message>
        <source>来自镜像 %1（%2 字节），来自其他用户 %3（%4 字节），下载用时 %5 秒</source>
        <translation>from mirrors %1 (%2 bytes), from peers %3 (%4 bytes), in %5 s of downloading</translation>
    </message>
    <message>
        <source>是</source>
        <translation>yes</translation>
    </message>
    <message>
        <source>否</source>
        <translation>no</translation>
    </message>
    <message>
        <source>%1 %2（--verify）</source>
        <translation>%1 %2 (--verify)</translation>
    </message>
    <message>
        <source>%1 %2（无终端）</source>
        <translation>%1 %2 (no terminal)</translation>
    </message>
    <message>
        <source>验证 %1</source>
        <translation>verify %1</translation>
    </message>
    <message>
        <source>修复 %1</source>
        <translation>repair %1</translation>
    </message>
    <message>
        <source>剩余 %1</source>
        <translation>%1 left</translation>
    </message>
    <message>
        <source>（磁盘空间不足）</source>
        <translation>(disk low)</translation>
    </message>
</context>
</TS>
