#include "ui/SettingsPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/Config.h"
#include "core/Log.h"
#include "core/MainModel.h"
#include "ui/HUDTuning.h"
#include "ui/MainWidgets.h"
#include "ui/Theme.h"

namespace {

AppLanguage lang() {
    return LanguageSetting::shared().language();
}

void setItems(QComboBox* box, const QStringList& items) {
    const QSignalBlocker quiet(box);
    const int at = box->currentIndex();
    for (int i = 0; i < items.size(); ++i) {
        if (i < box->count())
            box->setItemText(i, items[i]);
        else
            box->addItem(items[i]);
    }
    if (at >= 0) box->setCurrentIndex(at);
}

void choose(QComboBox* box, int index) {
    const QSignalBlocker quiet(box);
    box->setCurrentIndex(index);
}

const QList<HotkeyChoice> kKeys = {HotkeyChoice::rightControl, HotkeyChoice::rightOption,
                                   HotkeyChoice::rightCommand, HotkeyChoice::fn};

}  // namespace

QLabel* SettingsPage::section(const QString& key) {
    auto* l = MainWidgets::label(key, this);
    Theme::title(l, 1.15);
    return l;
}

SettingsPage::SettingsPage(MainModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(28, 24, 28, 24);
    page->setSpacing(8);
    auto heading = [&](const char* en) {
        QLabel* l = section(QString());
        headings_.append({l, en});
        page->addSpacing(headings_.size() > 1 ? 10 : 0);
        page->addWidget(l);
    };
    auto card = [&] {
        auto* c = new Card(this);
        auto* v = new QVBoxLayout(c);
        v->setContentsMargins(14, 12, 14, 12);
        v->setSpacing(8);
        page->addWidget(c);
        return v;
    };

    heading("Account");
    {
        QVBoxLayout* v = card();
        QWidget* c = v->parentWidget();
        auto* who = new QHBoxLayout;
        avatar_ = new QLabel(c);
        avatar_->setFixedSize(40, 40);
        avatar_->setAlignment(Qt::AlignCenter);
        avatar_->setStyleSheet(QStringLiteral("border-radius: 20px; background: %1; color: white;")
                                   .arg(Theme::accent().name()));
        Theme::title(avatar_, 1.1);
        auto* names = new QVBoxLayout;
        names->setSpacing(0);
        name_ = MainWidgets::label({}, c);
        Theme::title(name_, 1.05);
        email_ = MainWidgets::label({}, c);
        Theme::secondary(email_);
        names->addWidget(name_);
        names->addWidget(email_);
        notSignedIn_ = MainWidgets::label({}, c);
        Theme::title(notSignedIn_, 1.05);
        signOut_ = new QPushButton(c);
        signOut_->setIcon(Theme::icon(QStringLiteral("sign-out")));
        signIn_ = new QPushButton(c);
        signIn_->setIcon(Theme::icon(QStringLiteral("person")));
        who->addWidget(avatar_);
        who->addLayout(names, 1);
        who->addWidget(notSignedIn_, 1);
        who->addWidget(signOut_);
        who->addWidget(signIn_);
        v->addLayout(who);
        devToken_ = MainWidgets::label({}, c, true);
        failed_ = MainWidgets::label({}, c, true);
        failed_->setStyleSheet(QStringLiteral("color: %1;").arg(Theme::warning().name()));
        v->addWidget(devToken_);
        v->addWidget(failed_);
        connect(signOut_, &QPushButton::clicked, this, [this] { model_.signOut(); });
        connect(signIn_, &QPushButton::clicked, this, [this] { model_.signIn(); });

        auto* plan = new QHBoxLayout;
        auto* planNames = new QVBoxLayout;
        planNames->setSpacing(0);
        planTitle_ = MainWidgets::label({}, c);
        Theme::title(planTitle_, 1.05);
        planUntil_ = MainWidgets::label({}, c);
        Theme::secondary(planUntil_);
        planNames->addWidget(planTitle_);
        planNames->addWidget(planUntil_);
        upgrade_ = new QPushButton(c);
        connect(upgrade_, &QPushButton::clicked, this, [this] {
            if (model_.onUpgrade) model_.onUpgrade();
        });
        plan->addLayout(planNames, 1);
        plan->addWidget(upgrade_, 0, Qt::AlignTop);
        v->addLayout(plan);
        meterTitle_ = MainWidgets::label({}, c);
        meter_ = new QProgressBar(c);
        meter_->setTextVisible(false);
        meter_->setMaximumHeight(8);
        meter_->setRange(0, 1000);
        meterText_ = MainWidgets::label({}, c, true);
        startsOver_ = MainWidgets::label({}, c, true);
        Theme::secondary(startsOver_);
        for (QWidget* w :
             std::initializer_list<QWidget*>{meterTitle_, meter_, meterText_, startsOver_})
            v->addWidget(w);
    }

    heading("Permissions");
    card()->addWidget(permissions_ = new PermissionRows(this));

    heading("Language");
    {
        QVBoxLayout* v = card();
        language_ = new QComboBox(v->parentWidget());
        for (AppLanguage l : allAppLanguages())
            language_->addItem(l == AppLanguage::zh ? QStringLiteral("中文")
                                                    : QStringLiteral("English"));
        v->addWidget(language_, 0, Qt::AlignLeft);
        connect(language_, &QComboBox::currentIndexChanged, this, [](int i) {
            if (i >= 0 && i < allAppLanguages().size())
                LanguageSetting::shared().setLanguage(allAppLanguages()[i]);
        });
    }

    heading("Pill Shows");
    {
        QVBoxLayout* v = card();
        pill_ = new QComboBox(v->parentWidget());
        pillText_ = MainWidgets::label({}, v->parentWidget(), true);
        Theme::secondary(pillText_);
        v->addWidget(pill_, 0, Qt::AlignLeft);
        v->addWidget(pillText_);
        connect(pill_, &QComboBox::currentIndexChanged, this, [](int i) {
            HUDTuning t = HUDTuning::load();
            t.content = i == 1 ? PillContent::waveform : PillContent::transcript;
            t.save();
        });
    }

    heading("Tesk Fast Path");
    {
        QVBoxLayout* v = card();
        auto* row = new QHBoxLayout;
        tesk_ = new QCheckBox(v->parentWidget());
        beta_ = MainWidgets::label(QStringLiteral("BETA"), v->parentWidget());
        beta_->setStyleSheet(QStringLiteral("border: 1px solid %1; border-radius: 4px; color: %1; "
                                            "padding: 0px 4px; font-size: 9pt;")
                                 .arg(Theme::accent().name()));
        row->addWidget(tesk_);
        row->addWidget(beta_);
        row->addStretch(1);
        v->addLayout(row);
        teskText_ = MainWidgets::label({}, v->parentWidget(), true);
        Theme::secondary(teskText_);
        v->addWidget(teskText_);
        connect(tesk_, &QCheckBox::toggled, this, [this](bool on) { model_.setTesk(on); });
    }

    heading("Talk Key");
    {
        QVBoxLayout* v = card();
        auto* row = new QHBoxLayout;
        key_ = new QComboBox(v->parentWidget());
        mode_ = new QComboBox(v->parentWidget());
        row->addWidget(key_);
        row->addWidget(mode_);
        row->addStretch(1);
        v->addLayout(row);
        keyText_ = MainWidgets::label({}, v->parentWidget(), true);
        Theme::secondary(keyText_);
        v->addWidget(keyText_);
        connect(key_, &QComboBox::currentIndexChanged, this, [](int i) {
            if (i < 0 || i >= kKeys.size()) return;
            Config::d()->setValue(QStringLiteral("hotkey"), rawValue(kKeys[i]));
            Log::write(QStringLiteral("Settings: talk key ") + rawValue(kKeys[i]));
        });
        connect(mode_, &QComboBox::currentIndexChanged, this, [](int i) {
            Config::d()->setValue(QStringLiteral("toggleMode"), i == 0);
            Log::write(QStringLiteral("Settings: ") +
                       (i == 0 ? QStringLiteral("tap mode") : QStringLiteral("hold mode")));
        });
    }

    heading("History");
    {
        QVBoxLayout* v = card();
        QWidget* c = v->parentWidget();
        keep_ = MainWidgets::label({}, c);
        Theme::title(keep_, 1.0);
        keepText_ = MainWidgets::label({}, c, true);
        Theme::secondary(keepText_);
        retention_ = new QComboBox(c);
        kept_ = MainWidgets::label({}, c, true);
        clear_ = new QPushButton(c);
        v->addWidget(keep_);
        v->addWidget(keepText_);
        v->addWidget(retention_, 0, Qt::AlignLeft);
        auto* row = new QHBoxLayout;
        row->addWidget(kept_, 1);
        row->addWidget(clear_);
        v->addLayout(row);
        connect(retention_, &QComboBox::currentIndexChanged, this, [this](int i) {
            const auto all = allHistoryRetentions();
            if (i >= 0 && i < all.size()) model_.history.setRetention(all[i]);
        });
        connect(clear_, &QPushButton::clicked, this, [this] { confirmClear(); });
    }
    page->addStretch(1);

    connect(&model_.history, &HistoryStore::changed, this, &SettingsPage::refresh);
    refresh();
}

void SettingsPage::loadAvatar(const std::optional<QUrl>& url) {
    const QUrl wanted = url.value_or(QUrl());
    if (wanted == avatarUrl_) return;
    avatarUrl_ = wanted;
    avatarLoaded_ = false;
    avatar_->setPixmap(QPixmap());
    if (!wanted.isValid() || wanted.isEmpty()) return;
    if (!net_) net_ = new QNetworkAccessManager(this);
    QNetworkRequest request(wanted);
    request.setTransferTimeout(10000);
    QNetworkReply* reply = net_->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, wanted] {
        reply->deleteLater();
        if (wanted != avatarUrl_) return;  // another account's by now
        QImage image;
        if (reply->error() != QNetworkReply::NoError || !image.loadFromData(reply->read(1 << 22))) {
            Log::write(QStringLiteral("Main window: couldn't load the account's picture"));
            return;
        }
        const qreal dpr = devicePixelRatioF();
        const int side = int(avatar_->width() * dpr);
        QPixmap round(side, side);
        round.fill(Qt::transparent);
        {
            QPainter p(&round);
            p.setRenderHint(QPainter::Antialiasing);
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            QPainterPath circle;
            circle.addEllipse(QRectF(0, 0, side, side));
            p.setClipPath(circle);
            p.drawImage(
                QRect(0, 0, side, side),
                image.scaled(side, side, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation));
        }
        round.setDevicePixelRatio(dpr);
        avatarLoaded_ = true;
        avatar_->setPixmap(round);
    });
}

bool SettingsPage::confirmClear() {
    const qint64 count = model_.history.entries().size();
    QMessageBox box(QMessageBox::Warning, clearAllQuestion(), clearAllQuestion(),
                    QMessageBox::NoButton, this);
    box.setInformativeText(MainText::clearMessage(count, lang()));
    QPushButton* yes = box.addButton(Language::tr("Clear History"), QMessageBox::DestructiveRole);
    box.addButton(Language::tr("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(qobject_cast<QPushButton*>(box.buttons().last()));
    box.exec();
    if (box.clickedButton() != yes) return false;
    model_.history.clearAll();
    return true;
}

void SettingsPage::refresh() {
    const AppLanguage l = lang();
    for (const auto& [label, en] : headings_) MainWidgets::setText(label, Language::tr(en));

    const bool in = model_.account.signedIn;
    const bool devToken = !in && !model_.needsSignIn;
    avatar_->setVisible(in);
    name_->setVisible(in);
    email_->setVisible(in);
    signOut_->setVisible(in);
    notSignedIn_->setVisible(!in);
    signIn_->setVisible(!in && !devToken);
    devToken_->setVisible(devToken);
    failed_->setVisible(model_.signInFailed && !in);
    loadAvatar(in ? model_.account.avatar : std::nullopt);
    if (!avatarLoaded_) avatar_->setText(MainText::initials(model_.account));
    avatar_->setAccessibleName(model_.account.name);
    MainWidgets::setText(name_, model_.account.name);
    MainWidgets::setText(email_, model_.account.email);
    signOut_->setText(Language::tr("Sign Out"));
    MainWidgets::setText(notSignedIn_, Language::tr("Not Signed In"));
    signIn_->setText(model_.signingIn ? Language::tr("Signing In…")
                                      : Language::tr("Sign In with Google"));
    signIn_->setEnabled(!model_.signingIn);
    MainWidgets::setText(devToken_,
                         Language::tr("A developer token is standing in for an account."));
    MainWidgets::setText(failed_, Language::tr("Couldn't sign you in. Please try again."));

    const Plan& plan = model_.plan;
    MainWidgets::setText(planTitle_, MainText::planTitle(plan, l));
    MainWidgets::setText(planUntil_, MainText::planUntil(plan, l));
    planUntil_->setVisible(plan.until.has_value());
    upgrade_->setText(Language::tr("Upgrade…"));
    upgrade_->setVisible(model_.showsUpgrade);
    MainWidgets::setText(meterTitle_, Language::tr("Words This Month"));
    const auto fraction = MainText::meterFraction(plan);
    meter_->setVisible(fraction.has_value());
    meter_->setValue(int(fraction.value_or(0) * 1000));
    meter_->setAccessibleName(Language::tr("Words This Month"));
    MainWidgets::setText(meterText_, MainText::wordsMeter(plan, l));
    MainWidgets::setText(startsOver_, MainText::startsOver(plan, l));
    startsOver_->setVisible(plan.monthEnds.has_value());

    permissions_->show(model_.setup);

    choose(language_, int(allAppLanguages().indexOf(l)));
    language_->setAccessibleName(Language::tr("Language"));

    setItems(pill_, {Language::tr("Text"), Language::tr("Waveform")});
    choose(pill_, HUDTuning::load().content == PillContent::waveform ? 1 : 0);
    pill_->setAccessibleName(Language::tr("Pill Shows"));
    MainWidgets::setText(pillText_,
                         Language::tr("Your words as you say them, or just a waveform."));

    {
        const QSignalBlocker quiet(tesk_);
        tesk_->setChecked(model_.tesk);
    }
    tesk_->setText(Language::tr("Tesk Fast Path"));
    tesk_->setAccessibleName(tesk_->text());
    MainWidgets::setText(
        teskText_,
        Language::tr("Types what you said right away when it's already clean, instead of waiting "
                     "a second or two for cleanup. Tesk, a model from Halvane, makes that call, "
                     "so it sees the transcript too."));

    const Config& config = Config::shared();
    QStringList keys;
    for (HotkeyChoice k : kKeys) keys << SetupCheck::keyName(k);
    setItems(key_, keys);
    choose(key_, int(kKeys.indexOf(config.hotkey())));
    key_->setAccessibleName(Language::tr("Talk Key"));
    setItems(mode_, {Language::tr("Tap to start and stop"), Language::tr("Hold while talking")});
    choose(mode_, config.toggleMode() ? 0 : 1);
    mode_->setAccessibleName(Language::tr("Talk mode"));
    MainWidgets::setText(keyText_,
                         Language::tr("A new key or mode applies the next time Velmora starts."));

    MainWidgets::setText(keep_, Language::tr("Keep What I Dictate"));
    MainWidgets::setText(keepText_, Language::tr("It stays on this computer."));
    QStringList choices;
    for (HistoryRetention r : allHistoryRetentions()) choices << label(r);
    setItems(retention_, choices);
    choose(retention_, int(allHistoryRetentions().indexOf(model_.history.retention())));
    retention_->setAccessibleName(Language::tr("Keep What I Dictate"));
    const qint64 count = model_.history.entries().size();
    MainWidgets::setText(kept_, MainText::keptCount(count, l));
    clear_->setText(Language::tr("Clear…"));
    clear_->setEnabled(count > 0);
}
