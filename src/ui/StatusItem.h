#pragma once
#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QMenu;

// The status-bar item: a microphone icon, filled while listening, with a dot
// when an update is waiting. Thread: main.
class StatusItem : public QObject {
    Q_OBJECT
  public:
    StatusItem();
    ~StatusItem() override;

    void setIcon(bool listening, bool updateWaiting = false);
    bool available() const;
    // Where the icon sits on the screen; invalid when the tray doesn't say.
    QRect geometry() const;

    std::function<void()> onClick;  // a left click: the panel; without one, the menu
    std::function<void()> onOpenLog;
    std::function<void()> onOpenWindow;
    std::function<void()> onQuit;
    std::function<void()> onCheckForUpdates;  // "Check for Updates…" and "Update to …"

    // The version of an update that waits: the dot on the icon and "Update to …" in the menu.
    void setUpdateWaiting(const std::optional<QString>& version);

    // The icon as drawn, for tests and previews.
    // `onDark` draws the idle icon light, for a dark panel.
    static QImage render(bool listening, bool updateWaiting, int size, bool onDark = false);
    bool onDarkPanel() const { return dark_; }
    QMenu* menu() const { return menu_.get(); }

    static constexpr int kPanelLookMs = 1500;

  private:
    bool panelIsDark() const;
    void followPanel();
    bool listening_ = false;
    bool updateWaiting_ = false;
    bool dark_ = false;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<QMenu> menu_;
    QAction* updateAction_ = nullptr;
    QAction* checkAction_ = nullptr;
    QAction* openAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    std::optional<QString> waiting_;
};
