// Entry point of Ormet-Master.
#include "ormetmasterapp.h"
#include "smoke.h"

int main(int argc, char** argv)
{
    COrmetMasterApp app(argc, argv);
    if (!OrmetSmoke::Requested()) return app.InitInstance();
    OrmetSmoke::CSmokeRun smoke;
    app.InitInstance();
    return smoke.ExitCode();
}
