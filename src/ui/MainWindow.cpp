#include "ui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QVBoxLayout>

#include "core/AccountStore.h"
#include "core/Log.h"
#include "core/UpdateCard.h"
#include "ui/DictionaryPage.h"
#include "ui/HomePage.h"
#include "ui/MainSidebar.h"
#include "ui/MainWidgets.h"
#include "ui/SettingsPage.h"
#include "ui/Theme.h"
#include "ui/UpdateCardView.h"
#include "ui/WelcomeView.h"

namespace {

// Runs an editing slot ("undo", "copy"…) on the focused widget when it has one.
void onFocused(const char* slot) {
    QWidget* w = QApplication::focusWidget();
    const QByteArray signature = QByteArray(slot) + "()";
    if (w && w->metaObject()->indexOfMethod(signature.constData()) >= 0)
        QMetaObject::invokeMethod(w, slot);
}

QString emojiPicker() {
    return QStandardPaths::findExecutable(QStringLiteral("gnome-characters"));
}

}  // namespace

MainWindow::MainWindow(MainModel& model, UpdateCardModel& updateCard, QWidget* parent)
    : QMainWindow(parent), model_(model) {
    setWindowTitle(QStringLiteral("Velmora"));
    setObjectName(QStringLiteral("VelmoraMainWindow"));
    resize(880, 640);
    setMinimumSize(720, 480);

    top_ = new QStackedWidget(this);
    setCentralWidget(top_);
    welcome_ = new WelcomeView(model_, top_);
    auto* main = new QWidget(top_);
    top_->addWidget(welcome_);
    top_->addWidget(main);

    auto* h = new QHBoxLayout(main);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(0);
    sidebar_ = new MainSidebar(model_, main);
    h->addWidget(sidebar_);
    auto* right = new QVBoxLayout;
    right->setContentsMargins(0, 0, 0, 0);
    right->setSpacing(0);
    h->addLayout(right, 1);

    // The card and the notice sit in holders that go away with them, margins and all.
    auto holder = [&](QWidget* inner) {
        auto* box = new QWidget(main);
        auto* row = new QHBoxLayout(box);
        row->setContentsMargins(28, 16, 28, 0);
        inner->setParent(box);
        row->addWidget(inner);
        right->addWidget(box);
        return box;
    };
    card_ = new UpdateCardView(updateCard, main);
    cardBox_ = holder(card_);
    cardBox_->setVisible(updateCard.state().has_value());
    connect(&updateCard, &UpdateCardModel::changed, this,
            [this, &updateCard] { cardBox_->setVisible(updateCard.state().has_value()); });

    auto* notice = new Card(main, true);
    notice_ = notice;
    auto* n = new QVBoxLayout(notice);
    n->setContentsMargins(14, 10, 14, 10);
    noticeTitle_ = MainWidgets::label({}, notice);
    Theme::title(noticeTitle_, 1.05);
    noticeText_ = MainWidgets::label({}, notice, true);
    n->addWidget(noticeTitle_);
    n->addWidget(noticeText_);
    noticeBox_ = holder(notice);

    pages_ = new QStackedWidget(main);
    home_ = new HomePage(model_);
    dictionary_ = new DictionaryPage(model_);
    settings_ = new SettingsPage(model_);
    QWidget* pageWidgets[3] = {home_, dictionary_, settings_};
    for (int i = 0; i < 3; ++i) {
        auto* scroll = new QScrollArea(pages_);
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll->setWidget(pageWidgets[i]);
        scrolls_[i] = scroll;
        pages_->addWidget(scroll);
    }
    right->addWidget(pages_, 1);

    buildMenus();
    connect(&model_, &MainModel::changed, this, &MainWindow::sync);
    connect(&LanguageSetting::shared(), &LanguageSetting::languageChanged, this, [this] {
        relabel();
        home_->refresh();
        dictionary_->refresh();
        settings_->refresh();
        sync();
    });
    relabel();
    sync();
}

void MainWindow::followAccountStore(AccountStore& store) {
    connect(&store, &AccountStore::changed, this, [this] {
        if (isVisible()) model_.refreshAccount();
    });
}

void MainWindow::present() {
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

QWidget* MainWindow::currentView() const {
    if (top_->currentWidget() == welcome_) return welcome_;
    return pages_->currentIndex() == 0   ? static_cast<QWidget*>(home_)
           : pages_->currentIndex() == 1 ? static_cast<QWidget*>(dictionary_)
                                         : static_cast<QWidget*>(settings_);
}

void MainWindow::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (refreshing_) return;
    refreshing_ = true;
    model_.refresh();
    refreshing_ = false;
    if (model_.page == MainPage::dictionary) dictionary_->shown();
}

void MainWindow::changeEvent(QEvent* e) {
    QMainWindow::changeEvent(e);
    if (e->type() == QEvent::ActivationChange && isActiveWindow() && model_.onFront)
        model_.onFront();
}

void MainWindow::sync() {
    top_->setCurrentWidget(model_.needsSignIn ? static_cast<QWidget*>(welcome_) : top_->widget(1));
    welcome_->refresh();
    sidebar_->refresh();
    settings_->refresh();
    const auto pair = MainText::notice(model_.access, LanguageSetting::shared().language());
    noticeBox_->setVisible(pair.has_value());
    if (pair) {
        MainWidgets::setText(noticeTitle_, pair->title);
        MainWidgets::setText(noticeText_, pair->text);
    }
    home_->refresh();
    const bool arriving = model_.page == MainPage::dictionary && shownPage_ != MainPage::dictionary;
    shownPage_ = model_.page;
    pages_->setCurrentIndex(int(model_.page));
    if (arriving && isVisible()) dictionary_->shown();
}

void MainWindow::buildMenus() {
    auto add = [this](QMenu* menu, const char* en, auto fn,
                      QKeySequence keys = QKeySequence()) -> QAction* {
        QAction* a = menu->addAction(QString(), this, fn);
        a->setShortcut(keys);
        texts_.append({a, en});
        return a;
    };
    QMenu* app = menuBar()->addMenu(QStringLiteral("Velmora"));
    add(app, "Check for Updates…", [this] {
        if (onCheckForUpdates) onCheckForUpdates();
    });
    add(
        app, "Settings", [this] { model_.setPage(MainPage::settings); },
        QKeySequence(Qt::CTRL | Qt::Key_Comma));
    add(
        app, "Hide Velmora", [this] { hide(); }, QKeySequence(Qt::CTRL | Qt::Key_H));
    app->addSeparator();
    add(
        app, "Quit Velmora", [] { QApplication::quit(); }, QKeySequence::Quit);

    QMenu* edit = menuBar()->addMenu(QString());
    texts_.append({edit->menuAction(), "Edit"});
    add(
        edit, "Undo", [] { onFocused("undo"); }, QKeySequence::Undo);
    add(
        edit, "Redo", [] { onFocused("redo"); }, QKeySequence::Redo);
    edit->addSeparator();
    add(
        edit, "Cut", [] { onFocused("cut"); }, QKeySequence::Cut);
    add(
        edit, "Copy", [] { onFocused("copy"); }, QKeySequence::Copy);
    add(
        edit, "Paste", [] { onFocused("paste"); }, QKeySequence::Paste);
    add(
        edit, "Select All", [] { onFocused("selectAll"); }, QKeySequence::SelectAll);
    edit->addSeparator();
    QAction* emoji = add(edit, "Show Emoji & Symbols", [] {
        const QString picker = emojiPicker();
        if (picker.isEmpty() || !QProcess::startDetached(picker, {}))
            Log::write(QStringLiteral("Main window: no emoji picker on this desktop"));
    });
    emoji->setEnabled(!emojiPicker().isEmpty());

    QMenu* window = menuBar()->addMenu(QString());
    texts_.append({window->menuAction(), "Window"});
    add(
        window, "Close", [this] { close(); }, QKeySequence::Close);
    add(
        window, "Minimize", [this] { showMinimized(); }, QKeySequence(Qt::CTRL | Qt::Key_M));
}

void MainWindow::relabel() {
    for (const auto& [object, en] : texts_)
        if (auto* a = qobject_cast<QAction*>(object)) a->setText(Language::tr(en));
}
