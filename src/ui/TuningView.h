#pragma once
#include <QWidget>
#include <functional>

// The pill-tuning window: buttons for what the application offers while tuning the
// pill's look (preview, demo, a sample learned notice pinned or not, unpin). Thread: main.
class TuningView : public QWidget {
    Q_OBJECT

  public:
    TuningView();

    std::function<void()> onPreview;
    std::function<void()> onDemo;
    std::function<void(bool pinned)> onLearnedSample;
    std::function<void()> onUnpin;
    std::function<void()> onClose;

  protected:
    void closeEvent(class QCloseEvent* e) override;
};
