// The main window on a real X display (Xvfb): each state of the window preview in both
// languages, checked for the titles and numbers a user must see and for text that is cut off
// or drawn over other text; and the pages' operations reaching the stores. Screenshots go to
// <build>/test-artifacts/windows/ (with "@2x" under QT_SCALE_FACTOR=2).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QToolButton>
#include <QWindow>

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "core/HistoryStore.h"
#include "core/MainModel.h"
#include "core/UpdateCard.h"
#include "harness/Wait.h"
#include "support/TestEnv.h"
#include "ui/DictionaryPage.h"
#include "ui/HomePage.h"
#include "ui/MainSidebar.h"
#include "ui/MainWindow.h"
#include "ui/SettingsPage.h"
#include "ui/Theme.h"
#include "ui/UpdateCardView.h"
#include "ui/WindowPreview.h"

namespace {

using harness::waitUntil;

QString artifacts() {
    const QString dir = testenv::binaryDir() + QStringLiteral("/test-artifacts/windows");
    QDir().mkpath(dir);
    return dir;
}

LaunchOptions options(const QStringList& flags) {
    return LaunchOptions::parse(QStringList{"velmora", "--preview-window"} + flags);
}

// Every text a user can read now in the window: labels and buttons that are shown.
QStringList visibleTexts(QWidget* window) {
    QStringList out;
    for (QLabel* l : window->findChildren<QLabel*>())
        if (l->isVisibleTo(window) && !l->text().isEmpty()) out << l->text();
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
        if (b->isVisibleTo(window) && !b->text().isEmpty()) out << b->text();
    return out;
}

// Where a widget is on the window, limited to what its scroll area shows.
QRect onWindow(QWidget* w, QWidget* window) {
    QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
    for (QWidget* p = w->parentWidget(); p && p != window; p = p->parentWidget())
        if (auto* area = qobject_cast<QScrollArea*>(p))
            r = r.intersected(
                QRect(area->viewport()->mapTo(window, QPoint(0, 0)), area->viewport()->size()));
    return r;
}

// Text that doesn't fit its label or button, and labels drawn over one another.
QStringList layoutFaults(QWidget* window) {
    QStringList faults;
    QList<QPair<QRect, QString>> seen;
    for (QLabel* l : window->findChildren<QLabel*>()) {
        if (!l->isVisibleTo(window) || l->text().isEmpty()) continue;
        const QSize need = l->sizeHint();
        const bool fits = l->wordWrap()
                              ? l->heightForWidth(l->width()) <= l->height() + 1
                              : need.width() <= l->width() + 1 && need.height() <= l->height() + 1;
        if (!fits)
            faults << QStringLiteral("clipped \"%1\" (%2x%3 in %4x%5)")
                          .arg(l->text())
                          .arg(need.width())
                          .arg(need.height())
                          .arg(l->width())
                          .arg(l->height());
        const QRect r = onWindow(l, window);
        if (r.isEmpty()) continue;
        for (const auto& [other, text] : seen)
            if (other.intersects(r))
                faults << QStringLiteral("\"%1\" overlaps \"%2\"").arg(l->text(), text);
        seen.append({r, l->text()});
    }
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
        if (!b->isVisibleTo(window) || b->text().isEmpty()) continue;
        if (qobject_cast<QCheckBox*>(b) == nullptr && b->sizeHint().width() > b->width() + 1)
            faults << QStringLiteral("button \"%1\" cut off").arg(b->text());
    }
    return faults;
}

struct Shot {
    QString name;
    QStringList flags;
    QStringList en, zh;  // texts that must be shown
};

// One process, every state: build, show, check, save.
TEST(MainWindow, EachStateInBothLanguages) {
    Theme::apply(*qApp, Theme::Scheme::light);
    Config::setStringLists(
        {{"learnedHotwords", {"Kubernetes", "Priya", "Velmora"}}, {"newHotwords", {"Priya"}}});
    const QList<Shot> shots = {
        {"home",
         {},
         {"Home", "words dictated", "12,480", "1 hr  25 min", "146", "Free plan",
          "1,240 of 2,000 words used", "Ada Lovelace"},
         {"首页", "听写字数", "12,480", "1 小时 25 分钟", "每分钟字数", "Free 套餐",
          "已用 1,240 字，共 2,000 字"}},
        {"home-empty", {"--empty"}, {"Nothing Here Yet", "0 sec", "—"}, {"还没有内容", "0 秒"}},
        {"home-setup",
         {"--setup"},
         {"Finish Setting Up", "Open Settings"},
         {"完成设置", "打开设置"}},
        {"dictionary",
         {"--page", "dictionary"},
         {"Dictionary", "Words", "Kubernetes", "1 just learned", "Add"},
         {"词典", "词语", "1 个，刚学会", "从我的修改中学习"}},
        {"settings",
         {"--page", "settings"},
         {"Account", "Sign Out", "Free Plan", "Words This Month", "Permissions",
          "Keep What I Dictate", "5 dictations kept."},
         {"账号", "退出登录", "本月字数", "权限", "保留听写记录", "已保留 5 条听写。"}},
        {"settings-pro",
         {"--page", "settings", "--pro"},
         {"Pro Plan", "18,240 of 100,000 words used"},
         {"Pro 套餐", "已用 18,240 字，共 100,000 字"}},
        {"signed-out",
         {"--signed-out"},
         {"Sign in to start dictating.", "Continue with Google"},
         {"登录后就能开始听写。", "使用 Google 继续"}},
        {"pending", {"--pending"}, {"You're on the List"}, {"你已在等候名单上"}},
        {"update", {"--update", "available"}, {"Update", "Later"}, {"更新"}},
    };
    const QString suffix = QGuiApplication::primaryScreen()->devicePixelRatio() > 1
                               ? QStringLiteral("@2x")
                               : QString();
    for (AppLanguage lang : {AppLanguage::en, AppLanguage::zh}) {
        LanguageSetting::shared().setLanguage(lang);
        for (const Shot& shot : shots) {
            SCOPED_TRACE((shot.name + "-" + rawValue(lang)).toStdString());
            const auto scene = WindowPreview::build(options(shot.flags));
            MainWindow& w = *scene->window;
            w.present();
            ASSERT_TRUE(waitUntil([&] { return w.isVisible() && w.windowHandle()->isExposed(); },
                                  "the window is shown"));
            if (shot.flags.contains("--update")) {
                ASSERT_TRUE(waitUntil([&] { return w.updateCard()->isVisible(); },
                                      "the update card appears"));
            }
            QApplication::processEvents();
            const QStringList texts = visibleTexts(&w);
            for (const QString& must : lang == AppLanguage::en ? shot.en : shot.zh)
                EXPECT_TRUE(texts.contains(must))
                    << must.toStdString() << " not among " << texts.join(" | ").toStdString();
            const QStringList faults = layoutFaults(&w);
            EXPECT_TRUE(faults.isEmpty()) << faults.join("\n").toStdString();
            w.grab().save(artifacts() + "/" + shot.name + "-" + rawValue(lang) + suffix + ".png");
        }
    }
    LanguageSetting::shared().setLanguage(AppLanguage::en);
}

}  // namespace
