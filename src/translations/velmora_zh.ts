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
