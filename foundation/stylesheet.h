#pragma once

#include <QString>

// The application style sheet, read once from the built-in resource
// ":/res/style.css" and kept for the rest of the run. Every dialog, message
// box and the main window apply it to themselves. GUI thread only.
QString getStyleSheet();
