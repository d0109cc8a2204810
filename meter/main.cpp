// Entry point of Ormet-Master.
#include "ormetmasterapp.h"

int main(int argc, char** argv)
{
    COrmetMasterApp app(argc, argv);
    return app.InitInstance();
}
