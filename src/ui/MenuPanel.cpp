#include "ui/MenuPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "core/DictionaryModel.h"
#include "core/Language.h"
#include "ui/HUDTuning.h"
#include "ui/MainWidgets.h"
#include "ui/PanelModel.h"

namespace {

QLabel* smallText(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    QFont f = label->font();
    f.setPointSizeF(f.pointSizeF() * 0.9);
    label->setFont(f);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QFrame* separator(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setForegroundRole(QPalette::Mid);
    return line;
}

// A row that reads like a menu entry.
QPushButton* rowButton(const QString& text, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setFlat(true);
    b->setProperty("row", true);
    b->setAccessibleName(text);
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

}  // namespace

MenuPanel::MenuPanel(PanelModel& model) : QFrame(nullptr, Qt::Popup), model_(model) {
    setObjectName(QStringLiteral("menuPanel"));
    setAccessibleName(QStringLiteral("Velmora"));
    setFrameShape(QFrame::StyledPanel);
    setStyleSheet(QStringLiteral(
        "QPushButton[row=\"true\"] { text-align: left; padding: 4px 8px; border: none; "
        "border-radius: 5px; }"
        "QPushButton[row=\"true\"]:hover, QPushButton[row=\"true\"]:focus { background: "
        "palette(highlight);"
        " color: palette(highlighted-text); }"
        "QLabel#beta { border: 1px solid palette(mid); border-radius: 4px; padding: 0 3px; }"
        "QFrame#chip { border: 1px solid palette(mid); border-radius: 9px; }"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    closedAt_.invalidate();
    connect(&model_.dictionary, &DictionaryModel::changed, this, [this] {
        if (isVisible()) rebuild();
    });
}

void MenuPanel::setDictionaryExpanded(bool on) {
    expanded_ = on;
    rebuild();
}

void MenuPanel::rebuild() {
    const QWidget* focused = focusWidget();
    const QString focusName = focused ? focused->objectName() : QString();
    if (content_) {
        // Out of sight at once; deleted later, as the click being handled may be one of its.
        content_->hide();
        layout()->removeWidget(content_);
        content_->deleteLater();
    }
    content_ = new QWidget(this);
    layout()->addWidget(content_);
    content_->setFixedWidth(300);
    auto* rows = new QVBoxLayout(content_);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(2);

    // 1. How to talk, and what is missing.
    auto* hint = new QLabel(model_.hint(), content_);
    hint->setObjectName(QStringLiteral("hint"));
    hint->setWordWrap(true);
    hint->setContentsMargins(8, 4, 8, 4);
    rows->addWidget(hint);
    for (const SetupCheck::Row& missing :
         model_.setupRows ? model_.setupRows() : QList<SetupCheck::Row>{}) {
        QPushButton* b = rowButton(missing.title, content_);
        b->setObjectName(QStringLiteral("setup%1").arg(static_cast<int>(missing.pane)));
        const SetupCheck::Pane pane = missing.pane;
        connect(b, &QPushButton::clicked, this, [this, pane] {
            if (model_.onClose) model_.onClose();
            if (model_.onOpenSetup) model_.onOpenSetup(pane);
        });
        rows->addWidget(b);
    }
    rows->addWidget(separator(content_));

    // 2. The dictionary, with its state; expanded, its words.
    auto* header = new QHBoxLayout;
    QPushButton* dict = rowButton(Language::tr("Dictionary"), content_);
    dict->setObjectName(QStringLiteral("dictionary"));
    dict->setCheckable(true);
    dict->setChecked(expanded_);
    dict->setIcon(style()->standardIcon(expanded_ ? QStyle::SP_ArrowDown : QStyle::SP_ArrowRight));
    const QString state = model_.dictionaryState();
    dict->setAccessibleDescription(state);
    auto* stateLabel = new QLabel(state, content_);
    stateLabel->setObjectName(QStringLiteral("dictionaryState"));
    stateLabel->setForegroundRole(QPalette::PlaceholderText);
    header->addWidget(dict, 1);
    header->addWidget(stateLabel);
    rows->addLayout(header);
    connect(dict, &QPushButton::toggled, this, [this](bool on) {
        // Rebuilt once the click that toggled it is over.
        QMetaObject::invokeMethod(
            this, [this, on] { setDictionaryExpanded(on); }, Qt::QueuedConnection);
    });
    if (expanded_) {
        auto* body = new QWidget(content_);
        body->setObjectName(QStringLiteral("dictionaryBody"));
        fillDictionary(body);
        rows->addWidget(body);
    }
    rows->addWidget(separator(content_));

    // 3. What the pill shows.
    auto* pillRow = new QHBoxLayout;
    auto* pillLabel = new QLabel(Language::tr("Pill shows"), content_);
    pillLabel->setContentsMargins(8, 0, 0, 0);
    auto* pill = new QComboBox(content_);
    pill->setObjectName(QStringLiteral("pillShows"));
    pill->setAccessibleName(Language::tr("Pill shows"));
    pill->addItem(Language::tr("Text"), rawValue(PillContent::transcript));
    pill->addItem(Language::tr("Waveform"), rawValue(PillContent::waveform));
    pill->setCurrentIndex(HUDTuning::load().content == PillContent::waveform ? 1 : 0);
    pillLabel->setBuddy(pill);
    connect(pill, &QComboBox::activated, this, [](int index) {
        HUDTuning t = HUDTuning::load();
        t.content = index == 1 ? PillContent::waveform : PillContent::transcript;
        t.save();
    });
    pillRow->addWidget(pillLabel, 1);
    pillRow->addWidget(pill);
    rows->addLayout(pillRow);

    // 4. The fast lane.
    auto* teskRow = new QHBoxLayout;
    auto* tesk = new QCheckBox(QStringLiteral("Tesk fast path"), content_);
    tesk->setObjectName(QStringLiteral("tesk"));
    tesk->setAccessibleName(QStringLiteral("Tesk fast path"));
    tesk->setContentsMargins(8, 0, 0, 0);
    tesk->setChecked(model_.teskEnabled && model_.teskEnabled());
    auto* beta = new QLabel(QStringLiteral("BETA"), content_);
    beta->setObjectName(QStringLiteral("beta"));
    teskRow->addWidget(tesk);
    teskRow->addWidget(beta);
    teskRow->addStretch(1);
    rows->addLayout(teskRow);
    const QString teskHelp =
        Language::tr("Not used in email or Terminal, where cleanup does the formatting");
    tesk->setAccessibleDescription(teskHelp);
    QLabel* teskText = smallText(teskHelp, content_);
    teskText->setContentsMargins(8, 0, 8, 4);
    rows->addWidget(teskText);
    connect(tesk, &QCheckBox::toggled, this, [this](bool on) {
        if (model_.applyTesk) model_.applyTesk(on);
    });
    rows->addWidget(separator(content_));

    // 5. The actions.
    for (const PanelModel::ActionRow& row : model_.actions()) {
        QPushButton* b = rowButton(row.text, content_);
        b->setObjectName(QStringLiteral("action%1").arg(static_cast<int>(row.action)));
        const PanelModel::Action action = row.action;
        connect(b, &QPushButton::clicked, this, [this, action] { model_.trigger(action); });
        rows->addWidget(b);
    }

    content_->show();
    // Keep the keyboard where it was across a rebuild.
    if (!focusName.isEmpty())
        if (auto* again = content_->findChild<QWidget*>(focusName)) again->setFocus();
}

void MenuPanel::fillDictionary(QWidget* body) {
    DictionaryModel& d = model_.dictionary;
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(8, 2, 8, 4);
    auto* chips = new QWidget(body);
    auto* flow = new FlowLayout(chips, 4);
    auto chip = [&](const QString& word, bool fresh, bool fixed) {
        auto* frame = new QFrame(chips);
        frame->setObjectName(QStringLiteral("chip"));
        auto* line = new QHBoxLayout(frame);
        line->setContentsMargins(7, 1, fixed ? 7 : 3, 1);
        line->setSpacing(2);
        // The sparkle marks a learned word not seen yet.
        auto* label = new QLabel(fresh ? QStringLiteral("✦ ") + word : word, frame);
        line->addWidget(label);
        if (fixed) {
            frame->setToolTip(Language::tr("From ~/.velmora.env"));
            label->setAccessibleDescription(Language::tr("From ~/.velmora.env"));
        } else {
            auto* remove = new QToolButton(frame);
            remove->setText(QStringLiteral("×"));
            remove->setAutoRaise(true);
            const QString help = Language::tr("Remove %1").arg(word);
            remove->setToolTip(help);
            remove->setAccessibleName(help);
            connect(remove, &QToolButton::clicked, this, [&d, word] {
                QMetaObject::invokeMethod(
                    &d, [&d, word] { d.remove(word); }, Qt::QueuedConnection);
            });
            line->addWidget(remove);
        }
        flow->addWidget(frame);
    };
    for (const QString& w : d.words()) chip(w, d.newWords().contains(w), false);
    for (const QString& w : d.envWords()) chip(w, false, true);
    column->addWidget(chips);

    auto* entry = new QLineEdit(body);
    entry->setObjectName(QStringLiteral("addWord"));
    entry->setPlaceholderText(Language::tr("Add a word"));
    entry->setAccessibleName(Language::tr("Add a word"));
    entry->setClearButtonEnabled(true);
    connect(entry, &QLineEdit::returnPressed, this, [&d, entry] {
        const QString word = entry->text();
        // The dictionary's change rebuilds the panel, this field included.
        QMetaObject::invokeMethod(
            &d, [&d, word] { d.add(word); }, Qt::QueuedConnection);
    });
    column->addWidget(entry);
    column->addWidget(
        smallText(Language::tr("Names and terms you add or fix by hand show up here"), body));
    auto* learn = new QCheckBox(Language::tr("Learn from my edits"), body);
    learn->setObjectName(QStringLiteral("learn"));
    learn->setAccessibleName(learn->text());
    learn->setChecked(d.learnOn());
    const QString learnHelp = Language::tr(
        "Reads back the text you fix after I type, and the cleanup model picks out the names "
        "you corrected");
    learn->setAccessibleDescription(learnHelp);
    connect(learn, &QCheckBox::toggled, this, [&d](bool on) {
        QMetaObject::invokeMethod(
            &d, [&d, on] { d.setLearn(on); }, Qt::QueuedConnection);
    });
    column->addWidget(learn);
    column->addWidget(smallText(learnHelp, body));
    // The new words are seen now; their marks stay while the panel is open.
    if (!d.newWords().isEmpty()) showedNew_ = true;
}

void MenuPanel::open(const QRect& anchor) {
    model_.opened();
    rebuild();
    adjustSize();
    const QPoint at = anchor.isValid() ? anchor.bottomLeft() + QPoint(0, 2) : QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(at);
    if (!screen) screen = QGuiApplication::primaryScreen();
    QPoint pos = at;
    if (screen) {
        const QRect room = screen->availableGeometry();
        const QSize size = sizeHint();
        // A panel at the bottom of the screen opens upwards, above its icon.
        if (pos.y() + size.height() > room.bottom() + 1)
            pos.setY((anchor.isValid() ? anchor.top() - 2 : pos.y()) - size.height());
        pos.setX(std::clamp(pos.x(), room.left(),
                            std::max(room.left(), room.right() + 1 - size.width())));
        pos.setY(std::clamp(pos.y(), room.top(),
                            std::max(room.top(), room.bottom() + 1 - size.height())));
    }
    move(pos);
    show();
    activateWindow();
    for (auto* b : content_->findChildren<QPushButton*>())
        if (b->property("row").toBool()) {
            b->setFocus(Qt::PopupFocusReason);
            break;
        }
}

bool MenuPanel::justClosed() const {
    return closedAt_.isValid() && closedAt_.elapsed() < 300;
}

void MenuPanel::hideEvent(QHideEvent* e) {
    closedAt_.start();
    if (std::exchange(showedNew_, false)) model_.dictionary.markSeen();
    QFrame::hideEvent(e);
}
