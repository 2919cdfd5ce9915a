#include "ui/StatusItem.h"

#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QScreen>
#include <QTimer>

#include "core/Language.h"

StatusItem::StatusItem()
    : tray_(std::make_unique<QSystemTrayIcon>()), menu_(std::make_unique<QMenu>()) {
    openAction_ = menu_->addAction(Language::tr("Open Velmora"), [this] {
        if (onOpenWindow) onOpenWindow();
    });
    menu_->addAction(QStringLiteral("Open Log"), [this] {
        if (onOpenLog) onOpenLog();
    });
    updateAction_ = menu_->addAction(QString(), [this] {
        if (onCheckForUpdates) onCheckForUpdates();
    });
    updateAction_->setVisible(false);
    checkAction_ = menu_->addAction(Language::tr("Check for Updates…"), [this] {
        if (onCheckForUpdates) onCheckForUpdates();
    });
    // The menu's texts follow the UI language.
    connect(&LanguageSetting::shared(), &LanguageSetting::languageChanged, this, [this] {
        checkAction_->setText(Language::tr("Check for Updates…"));
        openAction_->setText(Language::tr("Open Velmora"));
        quitAction_->setText(Language::tr("Quit Velmora"));
        setUpdateWaiting(waiting_);
    });
    menu_->addSeparator();
    quitAction_ = menu_->addAction(Language::tr("Quit Velmora"), [this] {
        if (onQuit) onQuit();
    });
    tray_->setContextMenu(menu_.get());
    tray_->setToolTip(QStringLiteral("Velmora"));
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason r) {
                if (r != QSystemTrayIcon::Trigger) return;
                if (onClick)
                    onClick();
                else
                    menu_->popup(QCursor::pos());
            });
    dark_ = panelIsDark();
    setIcon(false);
    tray_->show();
    // The tray tells where the icon sits only once it has embedded it.
    QTimer::singleShot(kPanelLookMs, this, [this] { followPanel(); });
}

void StatusItem::followPanel() {
    const bool dark = panelIsDark();
    if (dark == dark_) return;
    dark_ = dark;
    setIcon(listening_, updateWaiting_);
}

bool StatusItem::panelIsDark() const {
    // The pixels around the icon are the panel's; a symbolic icon takes the other tone.
    const QRect at = tray_->geometry();
    if (at.isValid()) {
        if (QScreen* screen = QGuiApplication::screenAt(at.center())) {
            const QImage shot = screen->grabWindow(0, at.x(), at.y(), at.width(), at.height())
                                    .toImage()
                                    .convertToFormat(QImage::Format_RGB32);
            if (!shot.isNull() && shot.width() > 2 && shot.height() > 2) {
                double sum = 0;
                int n = 0;
                for (int x = 0; x < shot.width(); ++x) {
                    sum += qGray(shot.pixel(x, 0)) + qGray(shot.pixel(x, shot.height() - 1));
                    n += 2;
                }
                return sum / n < 128;
            }
        }
    }
    // Not embedded yet, or not readable: the desktop theme's own tone.
    return qGray(QGuiApplication::palette().color(QPalette::Window).rgb()) < 128;
}

StatusItem::~StatusItem() = default;

void StatusItem::setUpdateWaiting(const std::optional<QString>& version) {
    waiting_ = version;
    updateAction_->setVisible(version.has_value());
    if (version) updateAction_->setText(Language::tr("Update to %1…").arg(*version));
    setIcon(listening_, version.has_value());
}

QRect StatusItem::geometry() const {
    return tray_->geometry();
}

bool StatusItem::available() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QImage StatusItem::render(bool listening, bool updateWaiting, int size, bool onDark) {
    // Drawn on a square canvas; a waiting update widens it for the dot.
    const int width = updateWaiting ? size + size * 3 / 16 : size;
    QImage img(width, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor ink = listening ? QColor(0x0a, 0x84, 0xff)
                       : onDark  ? QColor(0xf2, 0xf2, 0xf2)
                                 : QColor(0x30, 0x30, 0x30);
    const qreal s = size / 16.0;
    QPen pen(ink, 1.4 * s, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    // Capsule of the microphone head.
    const QRectF head(5.5 * s, 1.5 * s, 5 * s, 8.5 * s);
    if (listening) p.setBrush(ink);
    p.drawRoundedRect(head, 2.5 * s, 2.5 * s);
    p.setBrush(Qt::NoBrush);
    // Cradle and stand.
    QPainterPath cradle;
    cradle.moveTo(3.5 * s, 7.5 * s);
    cradle.cubicTo(3.5 * s, 13 * s, 12.5 * s, 13 * s, 12.5 * s, 7.5 * s);
    p.drawPath(cradle);
    p.drawLine(QPointF(8 * s, 12 * s), QPointF(8 * s, 14.5 * s));
    p.drawLine(QPointF(5.5 * s, 14.5 * s), QPointF(10.5 * s, 14.5 * s));
    if (updateWaiting) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xff, 0x3b, 0x30));
        const qreal d = 5 * s;
        p.drawEllipse(QRectF(width - d, 0.5 * s, d, d));
    }
    return img;
}

void StatusItem::setIcon(bool listening, bool updateWaiting) {
    listening_ = listening;
    updateWaiting_ = updateWaiting;
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(render(listening, updateWaiting, size, dark_)));
    tray_->setIcon(icon);
    tray_->setToolTip(listening ? QStringLiteral("Velmora — listening")
                                : QStringLiteral("Velmora"));
}
