// COrmetMasterApp: the application object; runs the main dialog and ends with it.
#include "ormetmasterapp.h"

#include "dlgsupport.h"
#include "ormetmasterdlg.h"

COrmetMasterApp::COrmetMasterApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QString::fromUtf8(AppName));
}

int COrmetMasterApp::InitInstance()
{
    COrmetMasterDlg dlg;
    dlg.exec();
    return 0;
}
