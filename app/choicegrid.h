// The window's grid, which also lays one widget over its empty row: the
// widget is placed across that row's cells whenever the grid lays itself
// out, but is not one of the grid's items, so the window's nine cells stay
// as they are.
#pragma once

#include <QGridLayout>
#include <QPointer>
#include <QWidget>

class ChoiceGrid : public QGridLayout {
public:
    explicit ChoiceGrid(QWidget* parent) : QGridLayout(parent) {}

    // widget (a child of the grid's widget) goes over row, columns 0 to 2.
    void setrowwidget(int at, QWidget* widget)
    {
        row = at;
        over = widget;
        setRowMinimumHeight(row, widget->sizeHint().height());
    }

    void setGeometry(const QRect& rect) override
    {
        QGridLayout::setGeometry(rect);
        if (over)
            over->setGeometry(cellRect(row, 0).united(cellRect(row, 2)));
    }

private:
    int row = -1;
    QPointer<QWidget> over;
};
