#pragma once
#include <QMainWindow>
#include <functional>

#include "core/MainModel.h"

class AccountStore;
class DictionaryPage;
class HomePage;
class MainSidebar;
class QLabel;
class QScrollArea;
class QStackedWidget;
class SettingsPage;
class UpdateCardModel;
class UpdateCardView;
class WelcomeView;

// The main window, titled "Velmora": the sidebar with the pages, the notice for an account
// that is waiting or turned off, the update card, and the welcome view while nobody is signed
// in. It follows the model and the UI language; closing it hides it and keeps the model.
// Thread: main.
class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    MainWindow(MainModel& model, UpdateCardModel& updateCard, QWidget* parent = nullptr);

    // Refreshes the account display on the store's changes while the window is open.
    void followAccountStore(AccountStore& store);
    // Shows, raises and refreshes the window.
    void present();

    // The application menu's "Check for Updates…".
    std::function<void()> onCheckForUpdates;

    MainModel& model() const { return model_; }
    MainSidebar* sidebar() const { return sidebar_; }
    HomePage* homePage() const { return home_; }
    DictionaryPage* dictionaryPage() const { return dictionary_; }
    SettingsPage* settingsPage() const { return settings_; }
    WelcomeView* welcomeView() const { return welcome_; }
    UpdateCardView* updateCard() const { return card_; }
    QWidget* noticeCard() const { return noticeBox_; }
    // The page or view a user sees now.
    QWidget* currentView() const;

  protected:
    void showEvent(QShowEvent*) override;
    void changeEvent(QEvent*) override;

  private:
    void buildMenus();
    void sync();
    void relabel();

    MainModel& model_;
    QStackedWidget* top_;
    WelcomeView* welcome_;
    MainSidebar* sidebar_;
    UpdateCardView* card_;
    QWidget* cardBox_;
    QWidget* notice_;
    QWidget* noticeBox_;
    QLabel* noticeTitle_;
    QLabel* noticeText_;
    QStackedWidget* pages_;
    QScrollArea* scrolls_[3];
    HomePage* home_;
    DictionaryPage* dictionary_;
    SettingsPage* settings_;
    MainPage shownPage_ = MainPage::home;
    QList<std::pair<QObject*, const char*>> texts_;
    bool refreshing_ = false;
};
