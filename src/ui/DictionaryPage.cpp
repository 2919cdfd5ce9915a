#include "ui/DictionaryPage.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "core/Config.h"
#include "core/DictionaryModel.h"
#include "ui/MainWidgets.h"
#include "ui/Theme.h"

namespace {
// Every tag as tall as one with a remove button, so a line of tags lines up.
int tagHeight() {
    QToolButton probe;
    probe.setText(QStringLiteral("✕"));
    probe.setAutoRaise(true);
    return probe.sizeHint().height() + 8;
}
}  // namespace

WordTag::WordTag(const MainText::Tag& tag, QWidget* parent) : QFrame(parent), tag_(tag) {
    setFixedHeight(tagHeight());
    setAccessibleName(tag.word);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 4, tag.kind == MainText::Tag::Kind::fixed ? 10 : 4, 4);
    row->setSpacing(4);
    if (tag.kind == MainText::Tag::Kind::fresh) {
        auto* mark = new QLabel(this);
        mark->setPixmap(Theme::icon(QStringLiteral("sparkle")).pixmap(14, 14));
        mark->setAccessibleName(Language::tr("Just learned"));
        row->addWidget(mark);
    }
    auto* word = MainWidgets::label(tag.word, this);
    row->addWidget(word);
    if (tag.kind == MainText::Tag::Kind::fixed) {
        setToolTip(Language::tr("From ~/.velmora.env"));
        word->setAccessibleDescription(Language::tr("From ~/.velmora.env"));
    } else {
        const QString name = Language::tr("Remove %1").arg(tag.word);
        // A plain cross reads better at this size than the themes' close icons.
        auto* remove = new QToolButton(this);
        remove->setText(QStringLiteral("✕"));
        remove->setAutoRaise(true);
        remove->setToolTip(name);
        remove->setAccessibleName(name);
        connect(remove, &QToolButton::clicked, this, [this] { Q_EMIT removeRequested(tag_.word); });
        row->addWidget(remove);
    }
}

void WordTag::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    path.addRoundedRect(r, r.height() / 2, r.height() / 2);
    QColor fill = Theme::cardFill();
    QColor edge = Theme::separator();
    if (tag_.kind == MainText::Tag::Kind::fresh) {
        fill = Theme::accent();
        fill.setAlpha(40);
        edge = Theme::accent();
    } else if (tag_.kind == MainText::Tag::Kind::fixed) {
        fill = palette().color(QPalette::AlternateBase);
    }
    p.fillPath(path, fill);
    p.setPen(QPen(edge, 1, tag_.kind == MainText::Tag::Kind::fixed ? Qt::DashLine : Qt::SolidLine));
    p.drawPath(path);
}

DictionaryPage::DictionaryPage(MainModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(28, 24, 28, 24);
    page->setSpacing(12);
    title_ = MainWidgets::label({}, this);
    Theme::title(title_, 1.6);
    subtitle_ = MainWidgets::label({}, this, true);
    Theme::secondary(subtitle_);
    page->addWidget(title_);
    page->addWidget(subtitle_);

    auto* header = new QHBoxLayout;
    header_ = MainWidgets::label({}, this);
    Theme::title(header_, 1.1);
    count_ = MainWidgets::label({}, this);
    Theme::secondary(count_);
    learned_ = MainWidgets::label({}, this);
    learned_->setStyleSheet(QStringLiteral("color: %1;").arg(Theme::accent().name()));
    header->addWidget(header_);
    header->addWidget(count_);
    header->addWidget(learned_);
    header->addStretch(1);
    page->addLayout(header);

    auto* adding = new QHBoxLayout;
    entry_ = new QLineEdit(this);
    add_ = new QPushButton(this);
    add_->setIcon(Theme::icon(QStringLiteral("add")));
    adding->addWidget(entry_, 1);
    adding->addWidget(add_);
    page->addLayout(adding);
    connect(entry_, &QLineEdit::returnPressed, this, &DictionaryPage::addTyped);
    connect(add_, &QPushButton::clicked, this, &DictionaryPage::addTyped);
    connect(entry_, &QLineEdit::textChanged, this,
            [this](const QString& t) { add_->setEnabled(!t.trimmed().isEmpty()); });

    auto* card = new Card(this);
    auto* cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(12, 12, 12, 12);
    tagBox_ = new QWidget(card);
    flow_ = new FlowLayout(tagBox_, 6);
    cardLayout->addWidget(tagBox_);
    none_ = MainWidgets::label({}, card);
    none_->setAlignment(Qt::AlignCenter);
    Theme::secondary(none_);
    cardLayout->addWidget(none_);
    page->addWidget(card);

    learn_ = new QCheckBox(this);
    connect(learn_, &QCheckBox::toggled, this, [this](bool on) {
        if (on != model_.dictionary.learnOn()) model_.dictionary.setLearn(on);
    });
    learnText_ = MainWidgets::label({}, this, true);
    Theme::secondary(learnText_);
    learnText_->setContentsMargins(24, 0, 0, 0);
    page->addWidget(learn_);
    page->addWidget(learnText_);
    page->addStretch(1);

    connect(&model_.dictionary, &DictionaryModel::changed, this, &DictionaryPage::refresh);
    refresh();
}

QList<WordTag*> DictionaryPage::tags() const {
    return tagBox_->findChildren<WordTag*>(QString(), Qt::FindDirectChildrenOnly);
}

void DictionaryPage::addTyped() {
    const QString word = entry_->text().trimmed();
    if (word.isEmpty()) return;
    model_.dictionary.add(word);
    entry_->clear();
}

void DictionaryPage::shown() {
    // The marks stay on the tags while the page is open; the stored list empties now.
    if (Config::stringList(QStringLiteral("newHotwords")).isEmpty() && model_.unseenWords == 0)
        return;
    model_.dictionary.markSeen();
    model_.unseenWords = 0;
    model_.notify();
}

void DictionaryPage::refresh() {
    const AppLanguage l = LanguageSetting::shared().language();
    MainWidgets::setText(title_, Language::tr("Dictionary"));
    MainWidgets::setText(subtitle_,
                         Language::tr("Names and terms that should always come out right."));
    const QList<MainText::Tag> tags = MainText::tags(model_.dictionary);
    int fresh = 0;
    for (const auto& t : tags) fresh += t.kind == MainText::Tag::Kind::fresh;
    MainWidgets::setText(header_, Language::tr("Words"));
    MainWidgets::setText(count_, MainText::grouped(tags.size(), l));
    MainWidgets::setText(learned_, MainText::justLearned(fresh, l));
    learned_->setVisible(fresh > 0);
    entry_->setPlaceholderText(Language::tr("Add a name or a term"));
    entry_->setAccessibleName(Language::tr("Add a name or a term"));
    add_->setText(Language::tr("Add"));
    add_->setEnabled(!entry_->text().trimmed().isEmpty());

    MainWidgets::clear(flow_);
    for (const MainText::Tag& t : tags) {
        auto* tag = new WordTag(t, tagBox_);
        connect(tag, &WordTag::removeRequested, this,
                [this](const QString& word) { model_.dictionary.remove(word); });
        flow_->addWidget(tag);
    }
    tagBox_->setVisible(!tags.isEmpty());
    none_->setVisible(tags.isEmpty());
    MainWidgets::setText(none_, Language::tr("No Words Yet"));

    learn_->setText(Language::tr("Learn from My Edits"));
    learn_->setAccessibleName(learn_->text());
    {
        const QSignalBlocker quiet(learn_);
        learn_->setChecked(model_.dictionary.learnOn());
    }
    MainWidgets::setText(
        learnText_,
        Language::tr("Fix a name after it's typed and it's added here. To see the fix, Velmora "
                     "reads that text field back and sends the edited passage to the cleanup "
                     "model."));
}
