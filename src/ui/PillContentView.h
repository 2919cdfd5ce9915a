#pragma once
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QStringList>
#include <QWidget>

// Base of the views inside the pill: each paints itself at a content opacity so
// the pill can crossfade between them without graphics effects. Thread: main, for it and
// every view derived from it.
class PillContentView : public QWidget {
    Q_OBJECT

  public:
    explicit PillContentView(QWidget* parent);
    void setContentOpacity(double opacity);
    double contentOpacity() const { return opacity_; }

  protected:
    double opacity_ = 1;
};

// The system font at a pixel size and weight. Weight steps: 0 regular, 1 medium,
// 2 semibold, 3 bold, 4 heavy, 5 black.
QFont pillFont(double pixelSize, double weightStep);
QFont::Weight weightForStep(double step);
// Draws a line of text with the pill's optional shadow in the opposite colour.
void drawPillText(class QPainter& p, const QPointF& baseline, const QString& text,
                  const QColor& colour, double shadowAlpha);

// The `text` view: one line; written, pending and partial parts each at their own
// opacity. A line too long for the pill shows its latest words after an ellipsis.
class TextLineView : public PillContentView {
    Q_OBJECT

  public:
    explicit TextLineView(QWidget* parent);
    void setParts(const QStringList& parts, const QList<double>& alphas);
    void setStyle(const QFont& font, const QColor& colour, double shadowAlpha);
    double naturalWidth() const;
    QString fullText() const { return parts_.join(QString()); }
    QString visibleText() const;  // what fits now, with the ellipsis when cut

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QStringList parts_;
    QList<double> alphas_;
    QFont font_;
    QColor colour_ = Qt::white;
    double shadowAlpha_ = 0;
};

// The target app's icon at the pill's leading edge, or a text-cursor symbol.
class AppIconView : public PillContentView {
    Q_OBJECT

  public:
    explicit AppIconView(QWidget* parent);
    void setIcon(const QIcon& icon);
    void setColour(const QColor& colour);

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QIcon icon_;
    QColor colour_ = Qt::white;
};
