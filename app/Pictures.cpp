#include "app/Pictures.h"

#include <QBitmap>
#include <QPainter>
#include <QPainterPath>

namespace {

// Draws the shape in colour 1 of a one-bit picture.
QBitmap drawBitmap(void (*draw)(QPainter&)) {
    QBitmap bitmap(32, 32);
    bitmap.clear();
    QPainter painter(&bitmap);
    painter.setPen(Qt::color1);
    painter.setBrush(Qt::color1);
    draw(painter);
    return bitmap;
}

void hourglassOutline(QPainter& p) {
    const QPolygon glass(
        {{2, 1}, {17, 1}, {17, 3}, {11, 10}, {17, 17}, {17, 19}, {2, 19}, {2, 17}, {8, 10}, {2, 3}});
    p.drawPolygon(glass);
    p.drawRect(0, 21, 31, 10);
}

void hourglassImage(QPainter& p) {
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygon({{3, 2}, {16, 2}, {10, 10}, {16, 18}, {3, 18}, {9, 10}, {3, 2}}));
    p.drawLine(2, 1, 17, 1);
    p.drawLine(2, 19, 17, 19);
    p.setBrush(Qt::color1);
    p.drawPolygon(QPolygon({{6, 15}, {13, 15}, {15, 18}, {4, 18}}));
    QFont font("Sans Serif");
    font.setPixelSize(9);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRect(1, 22, 30, 9), Qt::AlignLeft | Qt::AlignVCenter, "SQL");
}

QIcon twoStateIcon(void (*draw)(QPainter&, bool), int side) {
    QIcon icon;
    for (bool enabled : {true, false}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        draw(painter, enabled);
        icon.addPixmap(pixmap, enabled ? QIcon::Normal : QIcon::Disabled);
    }
    return icon;
}

} // namespace

const QCursor& crSQLWait() {
    // The image is drawn black on white inside its outline; outside the outline the screen shows through.
    static const QCursor cursor(drawBitmap(hourglassImage), drawBitmap(hourglassOutline), 0, 0);
    return cursor;
}

QIcon folderTreeGlyph() {
    return twoStateIcon(
        [](QPainter& p, bool enabled) {
            const QColor fill = enabled ? QColor(255, 215, 64) : QColor(190, 190, 190);
            p.setPen(enabled ? QColor(128, 96, 0) : QColor(128, 128, 128));
            p.setBrush(fill);
            p.drawRect(1, 1, 6, 4);
            p.drawLine(3, 5, 3, 12);
            p.drawLine(3, 8, 7, 8);
            p.drawLine(3, 12, 7, 12);
            p.drawRect(8, 6, 6, 4);
            p.drawRect(8, 10, 6, 4);
        },
        16);
}

QIcon abortGlyph() {
    return twoStateIcon(
        [](QPainter& p, bool enabled) {
            p.setPen(Qt::NoPen);
            p.setBrush(enabled ? QColor(208, 0, 0) : QColor(160, 160, 160));
            p.drawEllipse(0, 0, 13, 13);
            p.setBrush(Qt::white);
            p.drawRect(QRectF(5.5, 2.5, 2, 5.5));
            p.drawRect(QRectF(5.5, 9, 2, 2));
        },
        13);
}
