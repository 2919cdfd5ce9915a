#include "core/UpdateCard.h"

namespace {
using Kind = UpdateCardState::Kind;

UpdateCardState make(Kind kind) {
    UpdateCardState s;
    s.kind = kind;
    return s;
}
}  // namespace

UpdateCardState UpdateCardState::available(const QString& version, const QString& current) {
    auto s = make(Kind::available);
    s.version = version;
    s.current = current;
    return s;
}
UpdateCardState UpdateCardState::downloading(std::optional<double> progress) {
    auto s = make(Kind::downloading);
    s.progress = progress;
    return s;
}
UpdateCardState UpdateCardState::upToDate(const QString& current) {
    auto s = make(Kind::upToDate);
    s.current = current;
    return s;
}
UpdateCardState UpdateCardState::failed(const QString& message) {
    auto s = make(Kind::failed);
    s.message = message;
    return s;
}
UpdateCardState UpdateCardState::updated(const QString& version) {
    auto s = make(Kind::updated);
    s.version = version;
    return s;
}
UpdateCardState UpdateCardState::checking() {
    return make(Kind::checking);
}
UpdateCardState UpdateCardState::installing() {
    return make(Kind::installing);
}

std::optional<UpdateCardState> UpdateCardState::sample(const QString& name) {
    if (name == QLatin1String("checking")) return checking();
    if (name == QLatin1String("available"))
        return available(QStringLiteral("0.3.2"), QStringLiteral("0.3.1"));
    if (name == QLatin1String("downloading")) return downloading(0.45);
    if (name == QLatin1String("installing")) return installing();
    if (name == QLatin1String("upToDate")) return upToDate(QStringLiteral("0.3.2"));
    if (name == QLatin1String("failed"))
        return failed(Language::tr(
            "An error occurred while downloading the update. Please try again later."));
    if (name == QLatin1String("updated")) return updated(QStringLiteral("0.3.2"));
    return std::nullopt;
}

QString UpdateCardState::title() const {
    return title(LanguageSetting::shared().language());
}
QString UpdateCardState::detail() const {
    return detail(LanguageSetting::shared().language());
}

QString UpdateCardState::title(AppLanguage l) const {
    switch (kind) {
        case Kind::available:
            return Language::text("Velmora %1 is available", l).arg(version);
        case Kind::downloading:
        case Kind::installing:
            return Language::text("Updating Velmora…", l);
        case Kind::upToDate:
            return Language::text("Velmora is up to date", l);
        case Kind::failed:
            return Language::text("Couldn't update", l);
        case Kind::updated:
            return Language::text("Updated to %1", l).arg(version);
        case Kind::checking:
            return Language::text("Checking for Updates…", l);
    }
    return {};
}

QString UpdateCardState::detail(AppLanguage l) const {
    switch (kind) {
        case Kind::available:
            return Language::text("You have %1.\nTakes a few seconds, then opens again by itself.",
                                  l)
                .arg(current);
        case Kind::downloading:
            return Language::text("Downloading", l);
        case Kind::upToDate:
            return Language::text("%1 is the newest version.", l).arg(current);
        case Kind::failed:
            return message;
        case Kind::updated:
            return Language::text("You're on the newest version.", l);
        case Kind::checking:
            return {};
        case Kind::installing:
            return Language::text("Installing. Velmora will open again in a moment.", l);
    }
    return {};
}

QString UpdateCardState::primaryLabel(AppLanguage l) const {
    if (kind == Kind::available) return Language::text("Update", l);
    if (kind == Kind::failed) return Language::text("OK", l);
    return {};
}

QString UpdateCardState::secondaryLabel(AppLanguage l) const {
    return kind == Kind::available ? Language::text("Later", l) : QString();
}

bool UpdateCardState::closable() const {
    return kind == Kind::available || kind == Kind::upToDate || kind == Kind::failed ||
           kind == Kind::updated;
}

bool UpdateCardState::showsProgress() const {
    return kind == Kind::downloading || kind == Kind::checking || kind == Kind::installing;
}

UpdateCardState::Icon UpdateCardState::icon() const {
    if (kind == Kind::upToDate || kind == Kind::updated) return Icon::checkmark;
    if (kind == Kind::failed) return Icon::exclamationmark;
    return Icon::arrowDown;
}

void UpdateCardModel::setState(std::optional<UpdateCardState> state) {
    if (state == state_) return;
    state_ = std::move(state);
    Q_EMIT changed();
}

UpdateCard& UpdateCard::shared() {
    static UpdateCard card;
    return card;
}

UpdateCard::UpdateCard() {
    autoHide.setSingleShot(true);
    QObject::connect(&autoHide, &QTimer::timeout, &model, [this] {
        if (model.secondary) model.secondary();
    });
}

void UpdateCard::cancelAutoHide() {
    autoHide.stop();
}

void UpdateCard::hide() {
    cancelAutoHide();
    model.setState(std::nullopt);
}

void UpdateCard::show(const UpdateCardState& state, std::function<void()> primary,
                      std::function<void()> secondary) {
    cancelAutoHide();
    // One answer per shown state: a double click must not install or acknowledge twice.
    auto acted = std::make_shared<bool>(false);
    const bool stays = state.kind == Kind::available;
    model.primary = [this, acted, stays, primary] {
        if (std::exchange(*acted, true)) return;
        if (!stays) hide();
        if (primary) primary();
    };
    model.secondary = [this, acted, primary, secondary] {
        if (std::exchange(*acted, true)) return;
        hide();
        if (secondary)
            secondary();
        else if (primary)
            primary();
    };
    model.setState(state);
    if (state.kind == Kind::upToDate || state.kind == Kind::updated) autoHide.start(autoHideMs);
}
