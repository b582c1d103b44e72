// The window's grid, which also lays widgets over rows of their own: each
// is placed across its row's three cells whenever the grid lays itself
// out, but is not one of the grid's items, so the window's nine cells stay
// as they are.
#pragma once

#include <QGridLayout>
#include <QList>
#include <QPointer>
#include <QWidget>

#include <utility>

class ChoiceGrid : public QGridLayout {
public:
    explicit ChoiceGrid(QWidget* parent) : QGridLayout(parent) {}

    // widget (a child of the grid's widget) goes over row, columns 0 to 2.
    void setrowwidget(int row, QWidget* widget)
    {
        overs.append({row, widget});
        setRowMinimumHeight(row, widget->sizeHint().height());
    }

    void setGeometry(const QRect& rect) override
    {
        QGridLayout::setGeometry(rect);
        for (const auto& [row, over] : std::as_const(overs))
            if (over)
                over->setGeometry(cellRect(row, 0).united(cellRect(row, 2)));
    }

private:
    QList<std::pair<int, QPointer<QWidget>>> overs;
};
