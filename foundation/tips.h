#pragma once

#include <QString>

// The four notices the rest of the program shows. Each runs a modal box
// (g_showMessageBox) and returns when the user has closed it. GUI thread only;
// worker threads report through the progress window instead.
class Tips
{
public:
    static void info(QString text);
    static void warning(QString text);
    // True exactly when the user pressed Yes.
    static bool question(QString text);
    // The error box (with the product header), then the error report. The
    // message is rich text and already translated.
    static void error(QString message);
};
