#include "foundation/mylistview.h"

MyListView::MyListView(QWidget* parent)
    : ReEmittingView(parent)
{
}

MyListView::~MyListView() = default;
