#pragma once

#include <QMessageBox>
#include <QSharedPointer>
#include <QString>

// The program's own message boxes: frameless, styled, draggable, rich text,
// with a fixed title and translated button texts. GUI thread only.

// Builds a box without showing it. `buttons` is a set of
// QMessageBox::StandardButton flags of which only Yes, No, Ok, Cancel, Abort,
// Retry and Ignore are honoured. When `label` is not null it receives the
// box's text label (to connect its linkActivated); when the box has none it is
// left as it was. `header` puts the bold product title and version above the
// text.
QSharedPointer<QMessageBox> g_messageBox(QMessageBox::Icon icon, QString text, int buttons,
                                         QWidget** label, bool header);

// Runs a box built by g_messageBox modally, draggable for the time of the
// run; the result is the StandardButton pressed, 0 for a null box.
int g_execMessageBox(QSharedPointer<QMessageBox> box);

// g_messageBox without a label, run as g_execMessageBox does.
int g_showMessageBox(QMessageBox::Icon icon, QString text, int buttons, bool header);
