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
        <source>Pill shows</source>
        <translation>胶囊显示</translation>
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
    <message>
        <source>Home</source>
        <translation>首页</translation>
    </message>
    <message>
        <source>Dictionary</source>
        <translation>词典</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>Your Account Is Turned Off</source>
        <translation>你的账号已停用</translation>
    </message>
    <message>
        <source>Dictation is off for this account. Get in touch with us if that's a mistake.</source>
        <translation>这个账号用不了听写。如果是弄错了，请联系我们。</translation>
    </message>
    <message>
        <source>You're on the List</source>
        <translation>你已在等候名单上</translation>
    </message>
    <message>
        <source>We're letting people in a few at a time. Dictation works as soon as your account is turned on; there's nothing to do till then.</source>
        <translation>我们在分批开放。账号开通后就能听写，在那之前什么都不用做。</translation>
    </message>
    <message>
        <source>Hold</source>
        <translation>按住</translation>
    </message>
    <message>
        <source>Tap</source>
        <translation>按一下</translation>
    </message>
    <message>
        <source>and start talking</source>
        <translation>开始说话</translation>
    </message>
    <message>
        <source>Let go and it's typed into whatever app you're in. Press esc to cancel.</source>
        <translation>松开后，说的话就打进你正在用的 app。按 esc 取消。</translation>
    </message>
    <message>
        <source>Tap again and it's typed into whatever app you're in. Press esc to cancel.</source>
        <translation>再按一下，说的话就打进你正在用的 app。按 esc 取消。</translation>
    </message>
    <message>
        <source>Finish Setting Up</source>
        <translation>完成设置</translation>
    </message>
    <message>
        <source>words dictated</source>
        <translation>听写字数</translation>
    </message>
    <message>
        <source>spent talking</source>
        <translation>说话时长</translation>
    </message>
    <message>
        <source>words a minute</source>
        <translation>每分钟字数</translation>
    </message>
    <message>
        <source> sec</source>
        <translation> 秒</translation>
    </message>
    <message>
        <source> min</source>
        <translation> 分钟</translation>
    </message>
    <message>
        <source> hr  </source>
        <translation> 小时 </translation>
    </message>
    <message>
        <source>Today</source>
        <translation>今天</translation>
    </message>
    <message>
        <source>Yesterday</source>
        <translation>昨天</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>拷贝</translation>
    </message>
    <message>
        <source>Copied</source>
        <translation>已拷贝</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>History Is Off</source>
        <translation>历史记录已关闭</translation>
    </message>
    <message>
        <source>What you dictate isn't kept. You can change that in Settings.</source>
        <translation>听写的内容不会保留，可以在设置里打开。</translation>
    </message>
    <message>
        <source>Nothing Here Yet</source>
        <translation>还没有内容</translation>
    </message>
    <message>
        <source>What you dictate shows up here, so nothing you said gets lost.</source>
        <translation>听写的内容会出现在这里，说过的话不会丢。</translation>
    </message>
    <message>
        <source>Show More</source>
        <translation>显示更多</translation>
    </message>
    <message>
        <source>Names and terms that should always come out right.</source>
        <translation>希望每次都写对的人名和术语。</translation>
    </message>
    <message>
        <source>Words</source>
        <translation>词语</translation>
    </message>
    <message>
        <source>%1 just learned</source>
        <translation>%1 个，刚学会</translation>
    </message>
    <message>
        <source>Just learned</source>
        <translation>刚学会</translation>
    </message>
    <message>
        <source>Add a name or a term</source>
        <translation>添加人名或术语</translation>
    </message>
    <message>
        <source>Add</source>
        <translation>添加</translation>
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
        <source>No Words Yet</source>
        <translation>还没有词</translation>
    </message>
    <message>
        <source>Learn from My Edits</source>
        <translation>从我的修改中学习</translation>
    </message>
    <message>
        <source>Fix a name after it's typed and it's added here. To see the fix, Velmora reads that text field back and sends the edited passage to the cleanup model.</source>
        <translation>打完字后你改过的人名会加到这里。为了看到改动，Velmora 会读回那个输入框，把改过的那段发给润色模型。</translation>
    </message>
    <message>
        <source>Account</source>
        <translation>账号</translation>
    </message>
    <message>
        <source>Sign Out</source>
        <translation>退出登录</translation>
    </message>
    <message>
        <source>Not Signed In</source>
        <translation>未登录</translation>
    </message>
    <message>
        <source>Sign In with Google</source>
        <translation>使用 Google 登录</translation>
    </message>
    <message>
        <source>A developer token is standing in for an account.</source>
        <translation>正在用开发者令牌代替账号。</translation>
    </message>
    <message>
        <source>Couldn't sign you in. Please try again.</source>
        <translation>没能登录，请再试一次。</translation>
    </message>
    <message>
        <source> Plan</source>
        <translation> 套餐</translation>
    </message>
    <message>
        <source> plan</source>
        <translation> 套餐</translation>
    </message>
    <message>
        <source>Until %1</source>
        <translation>%1到期</translation>
    </message>
    <message>
        <source>%1 until %2</source>
        <translation>%1 %2到期</translation>
    </message>
    <message>
        <source>Upgrade…</source>
        <translation>升级…</translation>
    </message>
    <message>
        <source>Upgrade</source>
        <translation>升级</translation>
    </message>
    <message>
        <source>Words This Month</source>
        <translation>本月字数</translation>
    </message>
    <message>
        <source>Starts over on %1</source>
        <translation>%1重置</translation>
    </message>
    <message>
        <source>%1 of %2 words used</source>
        <translation>已用 %1 字，共 %2 字</translation>
    </message>
    <message>
        <source>%1 words used, no limit</source>
        <translation>已用 %1 字，不限字数</translation>
    </message>
    <message>
        <source>This month's words start over on %1</source>
        <translation>本月字数将在%1重置</translation>
    </message>
    <message>
        <source>Permissions</source>
        <translation>权限</translation>
    </message>
    <message>
        <source>Open Settings</source>
        <translation>打开设置</translation>
    </message>
    <message>
        <source>Accessibility</source>
        <translation>辅助功能</translation>
    </message>
    <message>
        <source>Microphone</source>
        <translation>麦克风</translation>
    </message>
    <message>
        <source>Talk key</source>
        <translation>说话键</translation>
    </message>
    <message>
        <source>Talk key (“%1” doesn't reach the desktop)</source>
        <translation>说话键（桌面收不到“%1”）</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>已完成</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>语言</translation>
    </message>
    <message>
        <source>Pill Shows</source>
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
        <source>Your words as you say them, or just a waveform.</source>
        <translation>边说边显示文字，或者只显示波形。</translation>
    </message>
    <message>
        <source>Tesk Fast Path</source>
        <translation>Tesk 快速通道</translation>
    </message>
    <message>
        <source>Types what you said right away when it's already clean, instead of waiting a second or two for cleanup. Tesk, a model from Halvane, makes that call, so it sees the transcript too.</source>
        <translation>说的话本来就干净时直接打出来，不用再等一两秒润色。由 Halvane 的 Tesk 模型来判断，所以它也会看到识别出的文字。</translation>
    </message>
    <message>
        <source>Talk Key</source>
        <translation>说话键</translation>
    </message>
    <message>
        <source>Tap to start and stop</source>
        <translation>按一下开始，再按一下结束</translation>
    </message>
    <message>
        <source>Hold while talking</source>
        <translation>说话时按住</translation>
    </message>
    <message>
        <source>Talk mode</source>
        <translation>说话方式</translation>
    </message>
    <message>
        <source>A new key or mode applies the next time Velmora starts.</source>
        <translation>新的按键或方式在下次打开 Velmora 时生效。</translation>
    </message>
    <message>
        <source>History</source>
        <translation>历史记录</translation>
    </message>
    <message>
        <source>Keep What I Dictate</source>
        <translation>保留听写记录</translation>
    </message>
    <message>
        <source>It stays on this computer.</source>
        <translation>只存在这台电脑上。</translation>
    </message>
    <message>
        <source>Nothing kept right now.</source>
        <translation>目前没有保留任何记录。</translation>
    </message>
    <message>
        <source>%1 dictations kept.</source>
        <translation>已保留 %1 条听写。</translation>
    </message>
    <message>
        <source>Clear…</source>
        <translation>清除…</translation>
    </message>
    <message>
        <source>Clear History</source>
        <translation>清除历史记录</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>This removes %1 dictations from this computer. Your dictionary and totals stay.</source>
        <translation>这会从这台电脑上删掉 %1 条听写，词典和累计数据会保留。</translation>
    </message>
    <message>
        <source>Sign In</source>
        <translation>登录</translation>
    </message>
    <message>
        <source>Signing In…</source>
        <translation>正在登录…</translation>
    </message>
    <message>
        <source>Sign in to start dictating.</source>
        <translation>登录后就能开始听写。</translation>
    </message>
    <message>
        <source>We only get your name and email address from Google.</source>
        <translation>我们只从 Google 获取你的名字和邮箱地址。</translation>
    </message>
    <message>
        <source>Continue with Google</source>
        <translation>使用 Google 继续</translation>
    </message>
    <message>
        <source>Finish signing in with Google in your browser.</source>
        <translation>请在浏览器里完成 Google 登录。</translation>
    </message>
    <message>
        <source>Hide Velmora</source>
        <translation>隐藏 Velmora</translation>
    </message>
    <message>
        <source>Quit Velmora</source>
        <translation>退出 Velmora</translation>
    </message>
    <message>
        <source>Edit</source>
        <translation>编辑</translation>
    </message>
    <message>
        <source>Undo</source>
        <translation>撤销</translation>
    </message>
    <message>
        <source>Redo</source>
        <translation>重做</translation>
    </message>
    <message>
        <source>Cut</source>
        <translation>剪切</translation>
    </message>
    <message>
        <source>Paste</source>
        <translation>粘贴</translation>
    </message>
    <message>
        <source>Select All</source>
        <translation>全选</translation>
    </message>
    <message>
        <source>Show Emoji &amp; Symbols</source>
        <translation>显示表情与符号</translation>
    </message>
    <message>
        <source>Window</source>
        <translation>窗口</translation>
    </message>
    <message>
        <source>Minimize</source>
        <translation>最小化</translation>
    </message>
</context>
</TS>
