<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="en">
<context>
    <name>Velmora</name>
    <message>
        <source>Right Alt</source>
        <translation>右 Alt</translation>
    </message>
    <message>
        <source>Right Super</source>
        <translation>右 Super</translation>
    </message>
    <message>
        <source>Right Ctrl</source>
        <translation>右 Ctrl</translation>
    </message>
    <message>
        <source>fn</source>
        <translation>fn 键</translation>
    </message>
    <message>
        <source>⚠ Grant Accessibility, then relaunch…</source>
        <translation>⚠ 允许辅助功能，然后重新打开…</translation>
    </message>
    <message>
        <source>⚠ Grant Microphone access…</source>
        <translation>⚠ 允许使用麦克风…</translation>
    </message>
    <message>
        <source>⚠ The talk key “%1” doesn't reach the desktop — choose another…</source>
        <translation>⚠ 桌面收不到说话键“%1”，请换一个…</translation>
    </message>
    <message>
        <source>Forever</source>
        <translation>永久</translation>
    </message>
    <message>
        <source>30 days</source>
        <translation>30 天</translation>
    </message>
    <message>
        <source>7 days</source>
        <translation>7 天</translation>
    </message>
    <message>
        <source>Don't keep</source>
        <translation>不保留</translation>
    </message>
    <message>
        <source>Clear all history?</source>
        <translation>清除全部历史记录？</translation>
    </message>
    <message>
        <source>Sign in to start dictating…</source>
        <translation>登录后开始听写…</translation>
    </message>
    <message>
        <source>Hold %1 to talk, release to type</source>
        <translation>按住 %1 说话，松开就打字</translation>
    </message>
    <message>
        <source>Tap %1, speak, tap again</source>
        <translation>按一下 %1 说话，说完再按一下</translation>
    </message>
    <message>
        <source>Dictionary</source>
        <translation>词典</translation>
    </message>
    <message>
        <source>%1 new</source>
        <translation>%1 个新词</translation>
    </message>
    <message>
        <source>Empty</source>
        <translation>空</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>已关闭</translation>
    </message>
    <message>
        <source>1 word</source>
        <translation>1 个词</translation>
    </message>
    <message>
        <source>%1 words</source>
        <translation>%1 个词</translation>
    </message>
    <message>
        <source>Add a word</source>
        <translation>添加词语</translation>
    </message>
    <message>
        <source>Names and terms you add or fix by hand show up here</source>
        <translation>你添加或手动改正的人名和术语会出现在这里</translation>
    </message>
    <message>
        <source>Learn from my edits</source>
        <translation>从我的修改中学习</translation>
    </message>
    <message>
        <source>Reads back the text you fix after I type, and the cleanup model picks out the names you corrected</source>
        <translation>打完字后读回你改过的文字，由润色模型找出你改正的人名</translation>
    </message>
    <message>
        <source>From ~/.velmora.env</source>
        <translation>来自 ~/.velmora.env</translation>
    </message>
    <message>
        <source>Remove %1</source>
        <translation>移除 %1</translation>
    </message>
    <message>
        <source>Pill shows</source>
        <translation>胶囊显示</translation>
    </message>
    <message>
        <source>Text</source>
        <translation>文字</translation>
    </message>
    <message>
        <source>Waveform</source>
        <translation>波形</translation>
    </message>
    <message>
        <source>Not used in email or Terminal, where cleanup does the formatting</source>
        <translation>邮件和终端里不用，那里要靠润色排版</translation>
    </message>
    <message>
        <source>Open Velmora</source>
        <translation>打开 Velmora</translation>
    </message>
    <message>
        <source>Update to %1</source>
        <translation>更新到 %1</translation>
    </message>
    <message>
        <source>Quit Velmora</source>
        <translation>退出 Velmora</translation>
    </message>
    <message>
        <source>Velmora %1 is available</source>
        <translation>Velmora %1 可以更新了</translation>
    </message>
    <message>
        <source>You have %1.
Takes a few seconds, then opens again by itself.</source>
        <translation>当前是 %1。
更新只要几秒，完成后自动重新打开。</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>更新</translation>
    </message>
    <message>
        <source>Later</source>
        <translation>稍后</translation>
    </message>
    <message>
        <source>Updating Velmora…</source>
        <translation>正在更新 Velmora…</translation>
    </message>
    <message>
        <source>Downloading</source>
        <translation>正在下载</translation>
    </message>
    <message>
        <source>Velmora is up to date</source>
        <translation>已经是最新版本</translation>
    </message>
    <message>
        <source>%1 is the newest version.</source>
        <translation>%1 就是最新版本。</translation>
    </message>
    <message>
        <source>Couldn't update</source>
        <translation>没能更新</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>好</translation>
    </message>
    <message>
        <source>Updated to %1</source>
        <translation>已更新到 %1</translation>
    </message>
    <message>
        <source>You're on the newest version.</source>
        <translation>现在是最新版本了。</translation>
    </message>
    <message>
        <source>Checking for Updates…</source>
        <translation>正在检查更新…</translation>
    </message>
    <message>
        <source>Installing. Velmora will open again in a moment.</source>
        <translation>正在安装，Velmora 马上重新打开。</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>An error occurred while downloading the update. Please try again later.</source>
        <translation>下载更新时出错，请稍后再试。</translation>
    </message>
    <message>
        <source>Check for Updates…</source>
        <translation>检查更新…</translation>
    </message>
    <message>
        <source>Update to %1…</source>
        <translation>更新到 %1…</translation>
    </message>
</context>
</TS>
