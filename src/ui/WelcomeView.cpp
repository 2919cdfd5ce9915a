#include "ui/WelcomeView.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/MainModel.h"
#include "ui/MainWidgets.h"
#include "ui/Theme.h"

WelcomeView::WelcomeView(MainModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(60, 40, 60, 40);
    v->setSpacing(14);
    v->addStretch(2);
    logo_ = MainWidgets::label(QStringLiteral("Velmora"), this);
    Theme::title(logo_, 2.2);
    title_ = MainWidgets::label({}, this, true);
    Theme::title(title_, 1.3, false);
    privacy_ = MainWidgets::label({}, this, true);
    Theme::secondary(privacy_);
    continue_ = new QPushButton(this);
    continue_->setDefault(true);
    continue_->setMinimumHeight(36);
    continue_->setMinimumWidth(240);
    browser_ = MainWidgets::label({}, this, true);
    failed_ = MainWidgets::label({}, this, true);
    failed_->setStyleSheet(QStringLiteral("color: %1;").arg(Theme::warning().name()));
    for (QLabel* l : {logo_, title_, privacy_, browser_, failed_})
        l->setAlignment(Qt::AlignHCenter);
    v->addWidget(logo_);
    v->addWidget(title_);
    v->addWidget(privacy_);
    v->addSpacing(10);
    v->addWidget(continue_, 0, Qt::AlignHCenter);
    v->addWidget(browser_);
    v->addWidget(failed_);
    v->addStretch(3);
    connect(continue_, &QPushButton::clicked, this, [this] { model_.signIn(); });
    refresh();
}

void WelcomeView::refresh() {
    MainWidgets::setText(title_, Language::tr("Sign in to start dictating."));
    MainWidgets::setText(privacy_,
                         Language::tr("We only get your name and email address from Google."));
    continue_->setText(Language::tr("Continue with Google"));
    continue_->setEnabled(!model_.signingIn);
    MainWidgets::setText(browser_, Language::tr("Finish signing in with Google in your browser."));
    browser_->setVisible(model_.signingIn);
    MainWidgets::setText(failed_, Language::tr("Couldn't sign you in. Please try again."));
    failed_->setVisible(model_.signInFailed && !model_.signingIn);
}
