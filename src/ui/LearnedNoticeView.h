#pragma once
#include <QAbstractButton>
#include <QTimer>
#include <functional>

#include "ui/PillContentView.h"

struct HUDTuning;

// Undo with a countdown ring that empties over the notice's remaining time. Thread: main.
class UndoRingButton : public QAbstractButton {
    Q_OBJECT

  public:
    explicit UndoRingButton(QWidget* parent);
    void reset(const QColor& colour);  // full ring, still
    void start(double seconds);        // empties from full over `seconds`
    void freeze();                     // stops where it is
    double remaining() const;          // 0..1 of the ring left
    bool counting() const { return running_; }

  protected:
    void paintEvent(QPaintEvent*) override;
    void hideEvent(QHideEvent*) override;
    void showEvent(QShowEvent*) override;

  private:
    void updateTimer();
    QColor colour_ = Qt::white;
    bool running_ = false;
    double startedAt_ = 0, duration_ = 1, frozenAt_ = 1;
    QTimer timer_;
};

// The `learned` notice: the words just added to the dictionary, a caption, and the
// undo button; after undo the words show struck through with "Got it, won't learn …".
class LearnedNoticeView : public PillContentView {
    Q_OBJECT

  public:
    explicit LearnedNoticeView(QWidget* parent);
    void setContent(const QStringList& words, bool undone);
    void applyTuning(const HUDTuning& t, bool dark, double textShadow);
    // The text block's size when its lines may be at most maxWidth wide.
    QSizeF noticeSize(double maxWidth) const;
    void setUndoVisible(bool visible, double tuningHeight);
    UndoRingButton* undoButton() const { return undo_; }
    QStringList words() const { return words_; }
    bool undone() const { return undone_; }
    QString captionText() const;

    std::function<void()> onUndo;

  protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;

  private:
    struct Layout {
        QList<QStringList> lines;
        QSizeF size;
    };
    Layout layout(double maxWidth) const;
    QString separator() const;

    QStringList words_;
    bool undone_ = false;
    QFont wordFont_, captionFont_;
    QColor colour_ = Qt::white;
    double textShadow_ = 0;
    double textAlpha_ = 0.75, captionAlpha_ = 0.7, sepAlpha_ = 0.45;
    double lineGap_ = 9, captionGap_ = 11, padX_ = 22, padY_ = 17, tuningHeight_ = 46;
    bool undoVisible_ = false;
    UndoRingButton* undo_;
};
