#pragma once

#include <QFrame>
#include <QLabel>
#include <QString>
#include <QToolButton>

#include "reports/ChartData.h"

// A sunken panel that shows a month between a "previous" and a "next" arrow button.
struct MonthPanel {
    QFrame* frame = nullptr;
    QLabel* caption = nullptr;
    QToolButton* previous = nullptr;
    QToolButton* next = nullptr;
};

inline MonthPanel MakeMonthPanel(QWidget* parent, int x, int y, int width) {
    MonthPanel p;
    p.frame = new QFrame(parent);
    p.frame->setGeometry(x, y, width, 21);
    p.frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    p.caption = new QLabel(p.frame);
    p.caption->setGeometry(19, 0, width - 38, 21);
    p.caption->setAlignment(Qt::AlignCenter);
    p.previous = new QToolButton(p.frame);
    p.previous->setArrowType(Qt::LeftArrow);
    p.previous->setGeometry(2, 2, 17, 17);
    p.next = new QToolButton(p.frame);
    p.next->setArrowType(Qt::RightArrow);
    p.next->setGeometry(width - 19, 2, 17, 17);
    return p;
}

// A month held as year * 12 + month, as both windows show it: "2026年06月".
inline QString MonthText(int selected) {
    return QString::fromStdString(MonthCaption(selected));
}
