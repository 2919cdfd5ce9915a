#pragma once
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QList>

#include "core/SetupCheck.h"

class QToolButton;
class QVBoxLayout;

// Small pieces the main window's pages share. Thread: main.
namespace MainWidgets {

// A label that wraps, with an accessible name that follows its text.
QLabel* label(const QString& text, QWidget* parent, bool wrap = false);
void setText(QLabel* label, const QString& text);
// Deletes every item and widget of a layout.
void clear(QLayout* layout);
// An action-like flat button with an icon and an accessible name.
QToolButton* iconButton(const QString& role, const QString& name, QWidget* parent);

}  // namespace MainWidgets

// A rounded panel in the card colour.
class Card : public QFrame {
    Q_OBJECT
  public:
    explicit Card(QWidget* parent = nullptr, bool tinted = false);

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    bool tinted_;
};

// Lays its items out left to right, wrapping to new lines (the dictionary's tags, the panel's
// word chips). It takes the height its lines need and no more.
class FlowLayout : public QLayout {
  public:
    explicit FlowLayout(QWidget* parent = nullptr, int spacing = 6);
    ~FlowLayout() override;
    void addItem(QLayoutItem* item) override;
    int count() const override { return int(items_.size()); }
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    void setGeometry(const QRect& rect) override;

  private:
    int arrange(const QRect& rect, bool apply) const;
    QList<QLayoutItem*> items_;
    int gap_;
};

// The permission rows: accessibility, microphone and the talk key, each with a check mark or
// an "Open Settings" button.
class PermissionRows : public QWidget {
    Q_OBJECT
  public:
    explicit PermissionRows(QWidget* parent = nullptr);
    void show(const SetupCheck::SetupState& state);

  private:
    QVBoxLayout* rows_;
};
