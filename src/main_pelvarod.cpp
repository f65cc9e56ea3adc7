#include "service/launch.h"

// pelvarod: the program as a service, without a window; links no GUI library.
int main(int argc, char *argv[])
{
    return pelvaroMain(argc, argv, nullptr);
}
