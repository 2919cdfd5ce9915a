#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>

#include "core/Language.h"
#include "core/UpdateCard.h"
#include "harness/Wait.h"
#include "ui/StatusItem.h"
#include "ui/UpdateCardView.h"

using namespace Qt::StringLiterals;

// The card's controls for each state, in the window that holds it until the main window does.
TEST(UpdateCardView, ShowsEachStateWithItsControls) {
    UpdateCard card;
    UpdateWindow window(card.model, true);
    UpdateCardView& view = *window.card();
    struct Case {
        const char* sample;
        bool primary, secondary, close, progress;
        int progressMax;  // 0: indeterminate
    } cases[] = {
        {"checking", false, false, false, true, 0},
        {"available", true, true, true, false, 0},
        {"downloading", false, false, false, true, 1000},
        {"installing", false, false, false, true, 0},
        {"upToDate", false, false, true, false, 0},
        {"failed", true, false, true, false, 0},
        {"updated", false, false, true, false, 0},
    };
    int primaries = 0, secondaries = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sample);
        card.show(
            *UpdateCardState::sample(QString::fromLatin1(c.sample)), [&] { ++primaries; },
            [&] { ++secondaries; });
        window.present();
        EXPECT_TRUE(view.isVisible());
        // VELMORA_SCREENSHOTS=DIR keeps a picture of each state, to look at.
        if (const QString dir = qEnvironmentVariable("VELMORA_SCREENSHOTS"); !dir.isEmpty())
            window.grab().save(dir + u"/update-"_s + QLatin1String(c.sample) + u".png"_s);
        EXPECT_EQ(view.titleLabel()->text(), card.model.state()->title(AppLanguage::en));
        EXPECT_EQ(view.primaryButton()->isVisible(), c.primary);
        EXPECT_EQ(view.secondaryButton()->isVisible(), c.secondary);
        EXPECT_EQ(view.closeButton()->isVisible(), c.close);
        EXPECT_EQ(view.progressBar()->isVisible(), c.progress);
        if (c.progress) {
            EXPECT_EQ(view.progressBar()->maximum(), c.progressMax);
            if (c.progressMax) {
                EXPECT_EQ(view.progressBar()->value(), 450);
            }
        }
    }
    // The close button acknowledges and the window goes with the card.
    view.closeButton()->click();
    EXPECT_EQ(secondaries, 1);
    EXPECT_FALSE(view.isVisible());
    EXPECT_FALSE(window.isVisible());

    card.show(
        *UpdateCardState::sample(u"available"_s), [&] { ++primaries; }, [&] { ++secondaries; });
    window.present();
    EXPECT_EQ(view.primaryButton()->text(), u"Update"_s);
    LanguageSetting::shared().setLanguage(AppLanguage::zh);
    EXPECT_EQ(view.primaryButton()->text(), u"更新"_s);
    EXPECT_EQ(view.titleLabel()->text(), u"Velmora 0.3.2 可以更新了"_s);
    EXPECT_EQ(view.closeButton()->toolTip(), u"关闭"_s);
    LanguageSetting::shared().setLanguage(AppLanguage::en);
    view.primaryButton()->click();
    EXPECT_EQ(primaries, 1);
    EXPECT_TRUE(window.isVisible());  // "Update" keeps the card for the next step
}

// A waiting update: a dot on the status icon and "Update to …" in its menu.
TEST(UpdateCardView, StatusItemOffersTheWaitingUpdate) {
    StatusItem item;
    int checks = 0;
    item.onCheckForUpdates = [&] { ++checks; };
    auto action = [&](const QString& prefix) -> QAction* {
        for (QAction* a : item.menu()->actions())
            if (a->isVisible() && a->text().startsWith(prefix)) return a;
        return nullptr;
    };
    EXPECT_FALSE(action(u"Update to"_s));
    ASSERT_TRUE(action(u"Check for Updates"_s));
    item.setUpdateWaiting(u"0.3.2"_s);
    QAction* update = action(u"Update to 0.3.2…"_s);
    ASSERT_TRUE(update);
    update->trigger();
    action(u"Check for Updates"_s)->trigger();
    EXPECT_EQ(checks, 2);
    LanguageSetting::shared().setLanguage(AppLanguage::zh);
    EXPECT_TRUE(action(u"更新到 0.3.2…"_s));
    EXPECT_TRUE(action(u"检查更新…"_s));
    LanguageSetting::shared().setLanguage(AppLanguage::en);
    // The dot widens the icon.
    EXPECT_GT(StatusItem::render(false, true, 32).width(),
              StatusItem::render(false, false, 32).width());
    item.setUpdateWaiting(std::nullopt);
    EXPECT_FALSE(action(u"Update to"_s));
}
