// Every website has its icon, drawn as the pill wants it.
#include <gtest/gtest.h>

#include "core/WebContext.h"
#include "ui/WebIcon.h"

namespace {

TEST(WebIcon, EverySiteHasARoundedSixtyFourPixelIcon) {
    for (const WebSite& site : WebContext::sites()) {
        SCOPED_TRACE(site.icon.toStdString());
        const QImage icon =
            WebIcon::forMatch(WebContext::Match{site, QStringLiteral("https://x/")});
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(icon.size(), QSize(64, 64));
        // Clipped corners, a solid middle.
        EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(icon.pixel(63, 63)), 0);
        EXPECT_EQ(qAlpha(icon.pixel(32, 2)), 255);
        EXPECT_EQ(qAlpha(icon.pixel(32, 32)), 255);
    }
    for (const char* bad : {"", "nope", "../WebIcons/gmail", "gmail.png"})
        EXPECT_TRUE(WebIcon::named(QString::fromUtf8(bad)).isNull()) << bad;
}

}  // namespace
