#include "service/launch.h"
#include "window/windowmain.h"

// pelvaro-access: the program with its window; --headless runs it without one.
int main(int argc, char *argv[])
{
    return pelvaroMain(argc, argv, runWindow);
}
