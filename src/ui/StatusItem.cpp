#include "ui/StatusItem.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>

StatusItem::StatusItem()
    : tray_(std::make_unique<QSystemTrayIcon>()), menu_(std::make_unique<QMenu>()) {
    menu_->addAction(QStringLiteral("Open Velmora…"), [this] {
        if (onOpenWindow) onOpenWindow();
    });
    menu_->addAction(QStringLiteral("Open Log"), [this] {
        if (onOpenLog) onOpenLog();
    });
    menu_->addSeparator();
    menu_->addAction(QStringLiteral("Quit Velmora"), [this] {
        if (onQuit) onQuit();
    });
    tray_->setContextMenu(menu_.get());
    tray_->setToolTip(QStringLiteral("Velmora"));
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason r) {
                if (r == QSystemTrayIcon::Trigger && onClick) onClick();
            });
    setIcon(false);
    tray_->show();
}

StatusItem::~StatusItem() = default;

bool StatusItem::available() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QImage StatusItem::render(bool listening, bool updateWaiting, int size) {
    // Drawn on a square canvas; a waiting update widens it for the dot.
    const int width = updateWaiting ? size + size * 3 / 16 : size;
    QImage img(width, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor ink = listening ? QColor(0x0a, 0x84, 0xff) : QColor(0x30, 0x30, 0x30);
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
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(render(listening, updateWaiting, size)));
    tray_->setIcon(icon);
    tray_->setToolTip(listening ? QStringLiteral("Velmora — listening")
                                : QStringLiteral("Velmora"));
}
