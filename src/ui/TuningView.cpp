#include "ui/TuningView.h"

#include <QCloseEvent>
#include <QPushButton>
#include <QVBoxLayout>

TuningView::TuningView() {
    setWindowTitle(QStringLiteral("Velmora — Pill"));
    auto* layout = new QVBoxLayout(this);
    auto add = [&](const QString& label, std::function<void()> fn) {
        auto* b = new QPushButton(label, this);
        connect(b, &QPushButton::clicked, this, std::move(fn));
        layout->addWidget(b);
    };
    add(QStringLiteral("Preview"), [this] {
        if (onPreview) onPreview();
    });
    add(QStringLiteral("Demo"), [this] {
        if (onDemo) onDemo();
    });
    add(QStringLiteral("Learned words (pinned)"), [this] {
        if (onLearnedSample) onLearnedSample(true);
    });
    add(QStringLiteral("Learned words (notice)"), [this] {
        if (onLearnedSample) onLearnedSample(false);
    });
    add(QStringLiteral("Unpin"), [this] {
        if (onUnpin) onUnpin();
    });
}

void TuningView::closeEvent(QCloseEvent* e) {
    if (onClose) onClose();
    e->accept();
}
