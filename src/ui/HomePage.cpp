#include "ui/HomePage.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "core/Config.h"
#include "core/MainModel.h"
#include "platform/Pasteboard.h"
#include "platform/Platform.h"
#include "ui/MainWidgets.h"
#include "ui/Theme.h"
#include "ui/WebIcon.h"

namespace {
constexpr int kPageOfRows = 100;

AppLanguage lang() {
    return LanguageSetting::shared().language();
}
}  // namespace

HistoryRow::HistoryRow(const HistoryEntry& entry, const QDateTime& now, QWidget* parent)
    : QFrame(parent), id_(entry.id), text_(entry.text) {
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(entry.text);
    setAccessibleDescription(entry.app.value_or(QString()));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 8, 8, 8);
    row->setSpacing(10);

    auto* icon = new QLabel(this);
    const QImage site = entry.site ? WebIcon::named(*entry.site) : QImage();
    const int side = 20;
    if (!site.isNull()) {
        QPixmap pm = QPixmap::fromImage(site);
        pm.setDevicePixelRatio(pm.width() / double(side));
        icon->setPixmap(pm);
    } else {
        // The application's own icon when the desktop's theme has one by its name.
        const QString app = entry.bundleID.value_or(QString()).toLower();
        const QIcon own = app.isEmpty() ? QIcon() : QIcon::fromTheme(app);
        icon->setPixmap(
            (own.isNull() ? Theme::icon(QStringLiteral("app")) : own).pixmap(side, side));
    }
    icon->setFixedSize(side, side);
    icon->setAccessibleName(entry.site ? *entry.site : entry.app.value_or(QString()));
    row->addWidget(icon, 0, Qt::AlignTop);

    auto* text = MainWidgets::label(entry.text.trimmed(), this, true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(text, 1);

    auto* time = MainWidgets::label(
        MainText::rowTime(QDateTime::fromMSecsSinceEpoch(qint64(entry.date * 1000)), now, lang()),
        this);
    Theme::secondary(time);
    row->addWidget(time, 0, Qt::AlignTop);

    copy_ = MainWidgets::iconButton(QStringLiteral("copy"), Language::tr("Copy"), this);
    delete_ = MainWidgets::iconButton(QStringLiteral("delete"), Language::tr("Delete"), this);
    for (QToolButton* b : {copy_, delete_}) {
        QSizePolicy sp = b->sizePolicy();
        sp.setRetainSizeWhenHidden(true);
        b->setSizePolicy(sp);
        row->addWidget(b, 0, Qt::AlignTop);
    }
    for (QToolButton* b : {copy_, delete_}) b->installEventFilter(this);
    connect(copy_, &QToolButton::clicked, this, &HistoryRow::copy);
    connect(delete_, &QToolButton::clicked, this, [this] { Q_EMIT deleteRequested(id_); });
    showActions(false);
}

void HistoryRow::copy() {
    if (auto& board = platform::Platform::current().pasteboard) board->writeText(text_);
    copy_->setIcon(Theme::icon(QStringLiteral("copied")));
    copy_->setToolTip(Language::tr("Copied"));
}

bool HistoryRow::eventFilter(QObject* watched, QEvent* e) {
    // Tabbing on from the row's last button takes the buttons away with the focus.
    if (e->type() == QEvent::FocusOut && !underMouse() &&
        !isAncestorOf(QApplication::focusWidget()) && QApplication::focusWidget() != this)
        showActions(false);
    return QFrame::eventFilter(watched, e);
}

void HistoryRow::showActions(bool on) {
    hot_ = on;
    copy_->setVisible(on);
    delete_->setVisible(on);
    update();
}

void HistoryRow::enterEvent(QEnterEvent*) {
    showActions(true);
}

void HistoryRow::leaveEvent(QEvent*) {
    if (!hasFocus() && !isAncestorOf(focusWidget())) showActions(false);
}

void HistoryRow::focusInEvent(QFocusEvent*) {
    showActions(true);
}

void HistoryRow::focusOutEvent(QFocusEvent*) {
    if (!underMouse() && !isAncestorOf(QApplication::focusWidget())) showActions(false);
}

void HistoryRow::keyPressEvent(QKeyEvent* e) {
    if (e->matches(QKeySequence::Copy)) return copy();
    if (e->key() == Qt::Key_Delete || e->key() == Qt::Key_Backspace)
        return Q_EMIT deleteRequested(id_);
    QFrame::keyPressEvent(e);
}

void HistoryRow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    p.fillPath(path, hot_ ? palette().color(QPalette::AlternateBase) : Theme::cardFill());
    if (hasFocus()) {
        p.setPen(QPen(Theme::accent(), 1.5));
        p.drawPath(path);
    }
}

HomePage::HomePage(MainModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(28, 24, 28, 24);
    page->setSpacing(14);

    auto* invite = new QHBoxLayout;
    invite->setSpacing(8);
    verb_ = MainWidgets::label({}, this);
    keycap_ = MainWidgets::label({}, this);
    rest_ = MainWidgets::label({}, this);
    for (QLabel* l : {verb_, keycap_, rest_}) Theme::title(l, 1.5);
    keycap_->setContentsMargins(8, 2, 8, 2);
    keycap_->setStyleSheet(
        QStringLiteral("border: 1px solid %1; border-bottom-width: 2px; "
                       "border-radius: 6px; background: %2;")
            .arg(Theme::separator().darker(120).name(), Theme::cardFill().name()));
    invite->addWidget(verb_);
    invite->addWidget(keycap_);
    invite->addWidget(rest_);
    invite->addStretch(1);
    page->addLayout(invite);
    explanation_ = MainWidgets::label({}, this, true);
    Theme::secondary(explanation_);
    page->addWidget(explanation_);

    auto* setupCard = new Card(this, true);
    setupBox_ = setupCard;
    auto* setupLayout = new QVBoxLayout(setupCard);
    setupLayout->setContentsMargins(14, 12, 14, 12);
    setupTitle_ = MainWidgets::label({}, setupCard);
    Theme::title(setupTitle_, 1.1);
    setupLayout->addWidget(setupTitle_);
    permissions_ = new PermissionRows(setupCard);
    setupLayout->addWidget(permissions_);
    page->addWidget(setupCard);

    auto* stats = new QHBoxLayout;
    stats->setSpacing(12);
    auto figure = [&](QLabel*& number, QLabel*& caption) {
        auto* card = new Card(this);
        auto* v = new QVBoxLayout(card);
        v->setContentsMargins(14, 10, 14, 10);
        number = MainWidgets::label({}, card);
        Theme::title(number, 1.7);
        caption = MainWidgets::label({}, card);
        Theme::secondary(caption);
        v->addWidget(number);
        v->addWidget(caption);
        stats->addWidget(card, 1);
    };
    figure(words_, wordsCaption_);
    figure(time_, timeCaption_);
    figure(rate_, rateCaption_);
    page->addLayout(stats);

    list_ = new QVBoxLayout;
    list_->setSpacing(6);
    page->addLayout(list_);

    empty_ = new QWidget(this);
    auto* emptyLayout = new QVBoxLayout(empty_);
    emptyLayout->setContentsMargins(0, 30, 0, 30);
    emptyTitle_ = MainWidgets::label({}, empty_);
    Theme::title(emptyTitle_, 1.2);
    emptyText_ = MainWidgets::label({}, empty_, true);
    Theme::secondary(emptyText_);
    for (QLabel* l : {emptyTitle_, emptyText_}) {
        l->setAlignment(Qt::AlignHCenter);
        emptyLayout->addWidget(l);
    }
    page->addWidget(empty_);

    more_ = new QPushButton(this);
    connect(more_, &QPushButton::clicked, this, [this] { fillList(); });
    page->addWidget(more_, 0, Qt::AlignHCenter);
    page->addStretch(1);

    connect(&model_.history, &HistoryStore::changed, this, &HomePage::refresh);
    refresh();
}

QList<HistoryRow*> HomePage::rows() const {
    QList<HistoryRow*> out;
    for (int i = 0; i < list_->count(); ++i)
        if (auto* row = qobject_cast<HistoryRow*>(list_->itemAt(i)->widget())) out.append(row);
    return out;
}

void HomePage::refresh() {
    const AppLanguage l = lang();
    const Config& config = Config::shared();
    const MainText::Invitation inv = MainText::invitation(!config.toggleMode(), config.hotkey(), l);
    MainWidgets::setText(verb_, inv.verb);
    MainWidgets::setText(keycap_, inv.key);
    MainWidgets::setText(rest_, inv.rest);
    MainWidgets::setText(explanation_, inv.explanation);

    const SetupCheck::SetupState& s = model_.setup;
    setupBox_->setVisible(!(s.accessibility && s.microphone && s.fn));
    MainWidgets::setText(setupTitle_, Language::tr("Finish Setting Up"));
    permissions_->show(s);

    const HistoryTotals totals = model_.history.totals();
    MainWidgets::setText(words_, MainText::grouped(totals.words, l));
    MainWidgets::setText(wordsCaption_, Language::tr("words dictated"));
    MainWidgets::setText(time_, MainText::talkingTime(totals.seconds, l));
    MainWidgets::setText(timeCaption_, Language::tr("spent talking"));
    MainWidgets::setText(rate_, MainText::wordsPerMinute(totals, l));
    MainWidgets::setText(rateCaption_, Language::tr("words a minute"));

    MainWidgets::clear(list_);
    shown_ = 0;
    const bool none = model_.history.entries().isEmpty();
    empty_->setVisible(none);
    if (none) {
        const MainText::Pair e = MainText::emptyHistory(model_.history.retention(), l);
        MainWidgets::setText(emptyTitle_, e.title);
        MainWidgets::setText(emptyText_, e.text);
    }
    fillList();
}

void HomePage::fillList() {
    const QList<HistoryEntry>& entries = model_.history.entries();
    const QDateTime now = QDateTime::currentDateTime();
    const int end = std::min<int>(int(entries.size()), shown_ + kPageOfRows);
    for (int i = shown_; i < end; ++i) {
        auto* row = new HistoryRow(entries[i], now, this);
        connect(row, &HistoryRow::deleteRequested, this,
                [this](const QUuid& id) { model_.history.remove(id); });
        list_->addWidget(row);
    }
    shown_ = end;
    more_->setText(Language::tr("Show More"));
    more_->setVisible(shown_ < entries.size());
}
