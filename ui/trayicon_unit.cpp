#include "trayicon_unit.h"

#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

TTrayIcon::TTrayIcon(QMenu* menu, QObject* parent) : QSystemTrayIcon(MelodySeekerIcon(), parent) {
  setContextMenu(menu);
  setToolTip(QStringLiteral("MelodySeeker"));
  connect(this, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::DoubleClick) emit doubleClicked();
  });
}

QIcon MelodySeekerIcon() {
  QIcon icon;
  for (const int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x5f, 0xbf));
    p.drawEllipse(QRectF(2, 2, 60, 60));
    // An eighth note: head, stem, flag.
    p.setBrush(Qt::white);
    p.save();
    p.translate(26, 44);
    p.rotate(-20);
    p.drawEllipse(QRectF(-9, -6.5, 18, 13));
    p.restore();
    p.drawRect(QRectF(32, 14, 4.5, 30));
    QPainterPath flag;
    flag.moveTo(36.5, 14);
    flag.cubicTo(40, 22, 50, 22, 46, 34);
    flag.cubicTo(46, 27, 41, 25, 36.5, 24);
    flag.closeSubpath();
    p.drawPath(flag);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}
