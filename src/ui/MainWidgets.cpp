#include "ui/MainWidgets.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>

#include "core/Language.h"
#include "ui/Theme.h"

namespace MainWidgets {

QLabel* label(const QString& text, QWidget* parent, bool wrap) {
    auto* l = new QLabel(parent);
    l->setWordWrap(wrap);
    l->setTextFormat(Qt::PlainText);
    setText(l, text);
    return l;
}

void setText(QLabel* l, const QString& text) {
    l->setText(text);
    l->setAccessibleName(text);
}

void clear(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* w = item->widget()) {
            // Out of the parent now: it may be the sender of the signal being handled.
            w->hide();
            w->setParent(nullptr);
            w->deleteLater();
        }
        if (QLayout* inner = item->layout()) clear(inner);
        delete item;
    }
}

QToolButton* iconButton(const QString& role, const QString& name, QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setIcon(Theme::icon(role));
    b->setIconSize(QSize(16, 16));
    b->setAutoRaise(true);
    b->setToolTip(name);
    b->setAccessibleName(name);
    b->setFocusPolicy(Qt::StrongFocus);
    return b;
}

}  // namespace MainWidgets

Card::Card(QWidget* parent, bool tinted) : QFrame(parent), tinted_(tinted) {}

void Card::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    QColor fill = Theme::cardFill();
    if (tinted_) {
        fill = Theme::warning();
        fill.setAlpha(36);
    }
    p.fillPath(path, fill);
    p.setPen(QPen(tinted_ ? Theme::warning() : Theme::separator(), 1));
    p.drawPath(path);
}

FlowLayout::FlowLayout(QWidget* parent, int spacing) : QLayout(parent), gap_(spacing) {
    setContentsMargins(0, 0, 0, 0);
}

FlowLayout::~FlowLayout() {
    while (QLayoutItem* item = takeAt(0)) delete item;
}

void FlowLayout::addItem(QLayoutItem* item) {
    items_.append(item);
}

QLayoutItem* FlowLayout::itemAt(int index) const {
    return index >= 0 && index < items_.size() ? items_[index] : nullptr;
}

QLayoutItem* FlowLayout::takeAt(int index) {
    return index >= 0 && index < items_.size() ? items_.takeAt(index) : nullptr;
}

QSize FlowLayout::sizeHint() const {
    return minimumSize();
}

QSize FlowLayout::minimumSize() const {
    QSize s;
    for (const QLayoutItem* item : items_) s = s.expandedTo(item->minimumSize());
    const QMargins m = contentsMargins();
    return s + QSize(m.left() + m.right(), m.top() + m.bottom());
}

int FlowLayout::heightForWidth(int width) const {
    return arrange(QRect(0, 0, width, 0), false);
}

void FlowLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

int FlowLayout::arrange(const QRect& rect, bool apply) const {
    const QRect r = rect.marginsRemoved(contentsMargins());
    int x = r.x(), y = r.y(), lineHeight = 0;
    for (QLayoutItem* item : items_) {
        if (item->isEmpty()) continue;
        const QSize hint = item->sizeHint().boundedTo(QSize(r.width(), QWIDGETSIZE_MAX));
        if (x + hint.width() > r.right() + 1 && lineHeight > 0) {
            x = r.x();
            y += lineHeight + gap_;
            lineHeight = 0;
        }
        if (apply) item->setGeometry(QRect(QPoint(x, y), hint));
        x += hint.width() + gap_;
        lineHeight = std::max(lineHeight, hint.height());
    }
    return y + lineHeight - rect.y() + contentsMargins().bottom();
}

PermissionRows::PermissionRows(QWidget* parent) : QWidget(parent), rows_(new QVBoxLayout(this)) {
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(6);
}

void PermissionRows::show(const SetupCheck::SetupState& state) {
    MainWidgets::clear(rows_);
    struct Row {
        QString title;
        bool ok;
        SetupCheck::Pane pane;
    };
    const QList<Row> rows = {
        {Language::tr("Accessibility"), state.accessibility, SetupCheck::Pane::accessibility},
        {Language::tr("Microphone"), state.microphone, SetupCheck::Pane::microphone},
        {state.fn ? Language::tr("Talk key")
                  : Language::tr("Talk key (“%1” doesn't reach the desktop)").arg(state.fnDoing),
         state.fn, SetupCheck::Pane::keyboard},
    };
    for (const Row& row : rows) {
        auto* line = new QHBoxLayout;
        auto* title = MainWidgets::label(row.title, this, true);
        line->addWidget(title, 1);
        if (row.ok) {
            auto* mark = new QLabel(this);
            mark->setPixmap(Theme::icon(QStringLiteral("check")).pixmap(18, 18));
            mark->setAccessibleName(row.title + QStringLiteral(": ") + Language::tr("Done"));
            line->addWidget(mark);
        } else {
            auto* open = new QPushButton(Language::tr("Open Settings"), this);
            open->setAccessibleName(Language::tr("Open Settings") + QStringLiteral(": ") +
                                    row.title);
            const SetupCheck::Pane pane = row.pane;
            connect(open, &QPushButton::clicked, this, [pane] { SetupCheck::open(pane); });
            line->addWidget(open);
        }
        rows_->addLayout(line);
    }
}
