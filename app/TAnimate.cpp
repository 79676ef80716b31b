#include "app/TAnimate.h"

#include <QPainter>
#include <QtMath>

TAnimate::TAnimate(QWidget* parent) : QWidget(parent) {
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        frame_ = (frame_ + 1) % kFrames;
        update();
    });
    frame_ = StopFrame;
}

void TAnimate::setActive(bool active) {
    if (active == Active()) return;
    if (active)
        timer_.start();
    else {
        timer_.stop();
        frame_ = StopFrame;
        update();
    }
}

void TAnimate::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = qMin(width(), height());
    painter.scale(side / 16.0, side / 16.0);
    painter.setPen(QColor(128, 96, 0));
    painter.setBrush(QColor(255, 215, 64));
    painter.drawRect(QRectF(1, 5, 11, 8));
    painter.drawRect(QRectF(1, 4, 5, 2));
    const qreal angle = 2 * M_PI * frame_ / kFrames;
    const QPointF lens(7 + 3 * qCos(angle), 8 + 2 * qSin(angle));
    painter.setPen(QPen(Qt::black, 1.2));
    painter.setBrush(QColor(200, 230, 255, 200));
    painter.drawEllipse(lens, 2.6, 2.6);
    painter.drawLine(lens + QPointF(1.9, 1.9), lens + QPointF(4.2, 4.2));
}
