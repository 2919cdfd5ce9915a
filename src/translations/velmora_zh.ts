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
</context>
</TS>
