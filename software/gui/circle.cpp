#include "gui/circle.h"

#include <QPainter>

Circle::Circle(Data const& data, QWidget* parent) : QWidget(parent), data(data) {
    setup();
}

void Circle::setup() {
    setBackgroundRole(QPalette::Base);
    QSizePolicy policy;
    policy.setControlType(QSizePolicy::DefaultType);
    setSizePolicy(policy);
    setFixedSize(2 * data.radius, 2 * data.radius);
    move(data.center - QPoint(data.radius, data.radius));
}

void Circle::setCenter(QPoint const& center) {
    data.center = center;
    move(center - QPoint(data.radius, data.radius));
}

// The pen straddles the outline, so the outline is pulled in by half the pen width.
void Circle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(QBrush(data.color), data.pen_width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    int const q = data.radius - data.pen_width / 2;
    painter.drawEllipse(
        QRect(QPoint(data.radius - q, data.radius - q), QPoint(data.radius + q - 1, data.radius + q - 1)));
}

void add_circles(std::vector<Circle::Data> const& circles, QWidget* parent) {
    for (Circle::Data const& data : circles)
        (new Circle(data, parent))->show();
}

void add_circles(std::vector<Settings::CircleData> const& circles, QWidget* parent) {
    std::vector<Circle::Data> data;
    for (Settings::CircleData const& circle : circles)
        data.push_back({circle.center, circle.radius, circle.pen_width, circle.color});
    add_circles(data, parent);
}
