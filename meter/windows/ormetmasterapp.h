// COrmetMasterApp: the application object; runs the main dialog and ends with it.
#pragma once

#include <QApplication>

class COrmetMasterApp : public QApplication {
    Q_OBJECT
public:
    COrmetMasterApp(int& argc, char** argv);
    // Shows the main dialog modally; the program ends when it closes.
    int InitInstance();
};
