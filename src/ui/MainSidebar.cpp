#include "ui/MainSidebar.h"

#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/MainWidgets.h"
#include "ui/Theme.h"

namespace {
const char* const kPageNames[] = {"Home", "Dictionary", "Settings"};
const char* const kPageIcons[] = {"home", "dictionary", "settings"};
}  // namespace

MainSidebar::MainSidebar(MainModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setFixedWidth(216);
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(10, 14, 10, 12);
    v->setSpacing(4);
    for (int i = 0; i < 3; ++i) {
        auto* b = new QToolButton(this);
        b->setIcon(Theme::icon(QString::fromLatin1(kPageIcons[i])));
        b->setIconSize(QSize(18, 18));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setCheckable(true);
        b->setAutoRaise(true);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        b->setMinimumHeight(34);
        b->setFocusPolicy(Qt::StrongFocus);
        connect(b, &QToolButton::clicked, this, [this, i] { model_.setPage(MainPage(i)); });
        pages_[i] = b;
        v->addWidget(b);
    }
    v->addStretch(1);

    auto* card = new Card(this);
    planCard_ = card;
    auto* c = new QVBoxLayout(card);
    c->setContentsMargins(10, 10, 10, 10);
    c->setSpacing(5);
    plan_ = MainWidgets::label({}, card, true);
    Theme::title(plan_, 0.95);
    meter_ = new QProgressBar(card);
    meter_->setTextVisible(false);
    meter_->setMaximumHeight(6);
    meter_->setRange(0, 1000);
    meterText_ = MainWidgets::label({}, card, true);
    reset_ = MainWidgets::label({}, card, true);
    Theme::secondary(reset_);
    for (QLabel* l : {meterText_, reset_}) Theme::title(l, 0.85, false);
    upgrade_ = new QPushButton(card);
    connect(upgrade_, &QPushButton::clicked, this, [this] {
        if (model_.onUpgrade) model_.onUpgrade();
    });
    c->addWidget(plan_);
    c->addWidget(meter_);
    c->addWidget(meterText_);
    c->addWidget(reset_);
    c->addWidget(upgrade_);
    v->addWidget(card);
    v->addSpacing(6);

    account_ = new QToolButton(this);
    account_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    account_->setAutoRaise(true);
    account_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    account_->setMinimumHeight(34);
    account_->setIconSize(QSize(20, 20));
    account_->setPopupMode(QToolButton::InstantPopup);
    account_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    connect(account_, &QToolButton::clicked, this, [this] {
        if (!model_.account.signedIn) model_.signIn();
    });
    v->addWidget(account_);
    refresh();
}

void MainSidebar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QColor fill = palette().color(QPalette::Window);
    fill = Theme::current() == Theme::Scheme::dark ? fill.lighter(115) : fill.darker(104);
    p.fillRect(rect(), fill);
    p.setPen(Theme::separator());
    p.drawLine(rect().topRight(), rect().bottomRight());
}

void MainSidebar::refresh() {
    const AppLanguage l = LanguageSetting::shared().language();
    for (int i = 0; i < 3; ++i) {
        pages_[i]->setText(Language::tr(kPageNames[i]));
        pages_[i]->setAccessibleName(pages_[i]->text());
        pages_[i]->setChecked(int(model_.page) == i);
    }
    const Plan& plan = model_.plan;
    planCard_->setVisible(model_.account.signedIn);
    MainWidgets::setText(plan_, MainText::planLine(plan, l));
    const auto fraction = MainText::meterFraction(plan);
    meter_->setVisible(fraction.has_value());
    meter_->setValue(int(fraction.value_or(0) * 1000));
    meter_->setAccessibleName(MainText::wordsMeter(plan, l));
    MainWidgets::setText(meterText_, MainText::wordsMeter(plan, l));
    MainWidgets::setText(reset_, MainText::monthReset(plan, l));
    reset_->setVisible(plan.monthEnds.has_value());
    upgrade_->setText(Language::tr("Upgrade"));
    upgrade_->setVisible(model_.showsUpgrade);

    if (model_.account.signedIn) {
        account_->setText(model_.account.name.isEmpty() ? model_.account.email
                                                        : model_.account.name);
        account_->setIcon(Theme::icon(QStringLiteral("person")));
        auto* menu = new QMenu(account_);
        menu->addAction(Theme::icon(QStringLiteral("settings")), Language::tr("Settings"), this,
                        [this] { model_.setPage(MainPage::settings); });
        menu->addAction(Theme::icon(QStringLiteral("sign-out")), Language::tr("Sign Out"), this,
                        [this] { model_.signOut(); });
        if (QMenu* old = account_->menu()) old->deleteLater();
        account_->setMenu(menu);
    } else {
        if (QMenu* old = account_->menu()) old->deleteLater();
        account_->setMenu(nullptr);
        account_->setText(model_.signingIn ? Language::tr("Signing In…") : Language::tr("Sign In"));
        account_->setIcon(Theme::icon(QStringLiteral("person")));
    }
    account_->setEnabled(!model_.signingIn);
    account_->setAccessibleName(account_->text());
}
