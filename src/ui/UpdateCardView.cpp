#include "ui/UpdateCardView.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <cstdio>

#include "core/CommandLine.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/UpdateCard.h"

// The card's symbol: a checkmark, an exclamation mark or a downward arrow in a tinted disc.
class UpdateIconView : public QWidget {
  public:
    explicit UpdateIconView(QWidget* parent) : QWidget(parent) { setFixedSize(34, 34); }
    void setIcon(UpdateCardState::Icon icon) {
        icon_ = icon;
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        using Icon = UpdateCardState::Icon;
        const QColor tint = icon_ == Icon::checkmark         ? QColor(52, 168, 83)
                            : icon_ == Icon::exclamationmark ? QColor(230, 126, 34)
                                                             : QColor(10, 132, 255);
        QColor disc = tint;
        disc.setAlpha(40);
        p.setPen(Qt::NoPen);
        p.setBrush(disc);
        p.drawEllipse(rect().adjusted(1, 1, -1, -1));
        QPen pen(tint, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        const double c = width() / 2.0;
        if (icon_ == Icon::checkmark) {
            QPainterPath path;
            path.moveTo(c - 7, c);
            path.lineTo(c - 2, c + 5);
            path.lineTo(c + 7, c - 5);
            p.drawPath(path);
        } else if (icon_ == Icon::exclamationmark) {
            p.drawLine(QPointF(c, c - 8), QPointF(c, c + 2));
            p.drawPoint(QPointF(c, c + 7));
        } else {
            p.drawLine(QPointF(c, c - 8), QPointF(c, c + 7));
            QPainterPath head;
            head.moveTo(c - 6, c + 1);
            head.lineTo(c, c + 7);
            head.lineTo(c + 6, c + 1);
            p.drawPath(head);
        }
    }

  private:
    UpdateCardState::Icon icon_ = UpdateCardState::Icon::arrowDown;
};

UpdateCardView::UpdateCardView(UpdateCardModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("updateCard"));
    icon_ = new UpdateIconView(this);
    title_ = new QLabel(this);
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    title_->setWordWrap(true);
    detail_ = new QLabel(this);
    detail_->setWordWrap(true);
    detail_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    progress_ = new QProgressBar(this);
    progress_->setTextVisible(false);
    progress_->setMaximumHeight(6);
    primary_ = new QPushButton(this);
    primary_->setDefault(true);
    secondary_ = new QPushButton(this);
    close_ = new QToolButton(this);
    close_->setText(QStringLiteral("✕"));
    close_->setAutoRaise(true);

    auto* text = new QVBoxLayout;
    text->setSpacing(4);
    text->addWidget(title_);
    text->addWidget(detail_);
    text->addWidget(progress_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(secondary_);
    buttons->addWidget(primary_);
    text->addLayout(buttons);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 12, 8, 12);
    row->addWidget(icon_, 0, Qt::AlignTop);
    row->addLayout(text, 1);
    row->addWidget(close_, 0, Qt::AlignTop);

    // The actions are read when pressed: the model replaces them with each state.
    connect(primary_, &QPushButton::clicked, this, [this] {
        if (model_.primary) model_.primary();
    });
    connect(secondary_, &QPushButton::clicked, this, [this] {
        if (model_.secondary) model_.secondary();
    });
    connect(close_, &QToolButton::clicked, this, [this] {
        if (model_.secondary) model_.secondary();
    });
    connect(&model_, &UpdateCardModel::changed, this, &UpdateCardView::refresh);
    connect(&LanguageSetting::shared(), &LanguageSetting::languageChanged, this,
            &UpdateCardView::refresh);
    refresh();
}

void UpdateCardView::refresh() {
    const auto& state = model_.state();
    if (!state) {
        hide();
        return;
    }
    const AppLanguage language = LanguageSetting::shared().language();
    icon_->setIcon(state->icon());
    title_->setText(state->title(language));
    const QString detail = state->detail(language);
    detail_->setText(detail);
    detail_->setVisible(!detail.isEmpty());
    progress_->setVisible(state->showsProgress());
    if (state->progress) {
        progress_->setRange(0, 1000);
        progress_->setValue(static_cast<int>(std::lround(*state->progress * 1000)));
    } else {
        progress_->setRange(0, 0);  // indeterminate
    }
    const QString primary = state->primaryLabel(language);
    const QString secondary = state->secondaryLabel(language);
    primary_->setText(primary);
    primary_->setVisible(!primary.isEmpty());
    secondary_->setText(secondary);
    secondary_->setVisible(!secondary.isEmpty());
    close_->setVisible(state->closable());
    close_->setToolTip(Language::text("Close", language));
    show();
}

UpdateWindow::UpdateWindow(UpdateCardModel& model, bool hideWithCard)
    : QWidget(nullptr, Qt::Window) {
    setWindowTitle(QStringLiteral("Velmora"));
    setObjectName(QStringLiteral("updateWindow"));
    card_ = new UpdateCardView(model, this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(card_);
    setFixedWidth(380);
    if (hideWithCard)
        connect(&model, &UpdateCardModel::changed, this, [this, &model] {
            if (!model.state()) hide();
        });
}

void UpdateWindow::present() {
    adjustSize();
    show();
    raise();
    activateWindow();
}

int UpdatePreview::run(const LaunchOptions& options) {
    const auto state = UpdateCardState::sample(options.updateState);
    if (!state) {
        std::fprintf(stderr,
                     "velmora: no update sample \"%s\" (checking, available, downloading, "
                     "installing, upToDate, failed, updated)\n",
                     options.updateState.toUtf8().constData());
        return 2;
    }
    UpdateCardModel model;
    model.setState(state);
    UpdateWindow window(model, false);
    QApplication::setQuitOnLastWindowClosed(true);
    window.present();
    const int rc = QApplication::exec();
    Log::flush();
    return rc;
}
