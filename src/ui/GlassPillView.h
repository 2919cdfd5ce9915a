#pragma once
#include <QImage>
#include <QWidget>
#include <array>
#include <functional>

// The pill's window: frameless, translucent, above everything, never focused, and
// by default transparent to the mouse. It paints the drop shadow and the pill's
// material; the views sit in content(), which covers the pill. Thread: main.
class GlassPillView : public QWidget {
    Q_OBJECT

  public:
    // The material of the pill: a dark or light glass with its shadow and edge.
    struct Glass {
        bool light = false;  // light glass for dark text
        double tintOpacity = 0;
        double shadowOpacity = 0.21;
        double shadowRadius = 9;
        double shadowOffsetY = 9;
        double edgeHighlight = 0.1;
        bool operator==(const Glass&) const = default;
    };

    GlassPillView();
    ~GlassPillView() override;

    QWidget* content() const { return content_; }
    void setPanel(QSize size, double margin);
    void setPill(QSizeF size, double radius);
    void setGlass(const Glass& glass);
    QRectF pillRect() const { return pill_; }
    double radius() const { return radius_; }
    double margin() const { return margin_; }

    // Without a compositor the window is cut to the pill's shape (its transparent
    // pixels would show black); the soft shadow is left out then.
    void setShaped(bool shaped);
    bool shaped() const { return shaped_; }
    // Mouse events reach the pill only while a learned notice is up.
    void setAcceptsMouse(bool accepts);
    bool acceptsMouse() const { return acceptsMouse_; }

    std::function<void(bool inside)> onHover;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    void updateMask();
    const QImage& background();
    double backgroundPad() const;

    QWidget* content_;
    QRectF pill_;
    double radius_ = 23, margin_ = 30;
    Glass glass_;
    bool shaped_ = false;
    bool acceptsMouse_ = false;
    QImage background_;  // shadow and glass, for the current size and look
    std::array<double, 11> backgroundKey_{};
};
