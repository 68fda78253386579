#pragma once

#include "gui/settings.h"

#include <QColor>
#include <QPoint>
#include <QWidget>

#include <vector>

// One translucent ring drawn over the background picture to mark a spot.
class Circle : public QWidget {
    Q_OBJECT

public:
    // Final pixels in the parent's coordinates; scaling happens before.
    struct Data {
        QPoint center;
        int radius = 0;
        int pen_width = 0;
        QColor color;
    };

    Circle(Data const& data, QWidget* parent);

    void setup();
    void setCenter(QPoint const& center);

    Data data;

protected:
    void paintEvent(QPaintEvent* event) override;
};

void add_circles(std::vector<Circle::Data> const& circles, QWidget* parent);
void add_circles(std::vector<Settings::CircleData> const& circles, QWidget* parent);
