#pragma once
// The wait cursor for the life of the object: work on the GUI thread that may take a while (reading a
// large database) shows that the program is busy rather than frozen.
#include <QApplication>

class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};
