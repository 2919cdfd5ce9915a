#pragma once
#include <QUrl>
#include <QWidget>
#include <memory>

class MainModel;
class PermissionRows;
class QCheckBox;
class QComboBox;
class QLabel;
class QNetworkAccessManager;
class QProgressBar;
class QPushButton;

// The settings page: account and plan, permissions, language, what the pill shows, the fast
// lane, the talk key, and how long the history is kept. Thread: main.
class SettingsPage : public QWidget {
    Q_OBJECT
  public:
    explicit SettingsPage(MainModel& model, QWidget* parent = nullptr);
    void refresh();

    QComboBox* languageBox() const { return language_; }
    QComboBox* retentionBox() const { return retention_; }
    QPushButton* clearButton() const { return clear_; }
    QCheckBox* teskSwitch() const { return tesk_; }
    // Asks before clearing; tests answer it. Returns whether the history was cleared.
    bool confirmClear();

    QLabel* avatar() const { return avatar_; }

  private:
    QLabel* section(const QString& key);
    // The account's picture in the avatar circle once it has loaded; initials till then.
    void loadAvatar(const std::optional<QUrl>& url);
    MainModel& model_;
    QList<std::pair<QLabel*, const char*>> headings_;
    // Account
    QLabel* avatar_;
    QNetworkAccessManager* net_ = nullptr;
    QUrl avatarUrl_;
    bool avatarLoaded_ = false;
    QLabel* name_;
    QLabel* email_;
    QPushButton* signOut_;
    QLabel* notSignedIn_;
    QPushButton* signIn_;
    QLabel* devToken_;
    QLabel* failed_;
    QLabel* planTitle_;
    QLabel* planUntil_;
    QPushButton* upgrade_;
    QLabel* meterTitle_;
    QProgressBar* meter_;
    QLabel* meterText_;
    QLabel* startsOver_;
    // Other sections
    PermissionRows* permissions_;
    QComboBox* language_;
    QComboBox* pill_;
    QLabel* pillText_;
    QCheckBox* tesk_;
    QLabel* beta_;
    QLabel* teskText_;
    QComboBox* key_;
    QComboBox* mode_;
    QLabel* keyText_;
    QLabel* keep_;
    QLabel* keepText_;
    QComboBox* retention_;
    QLabel* kept_;
    QPushButton* clear_;
};
