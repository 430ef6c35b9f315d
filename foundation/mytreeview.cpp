#include "foundation/mytreeview.h"

MyTreeView::MyTreeView(QWidget* parent)
    : ReEmittingView(parent)
{
}

MyTreeView::~MyTreeView() = default;
