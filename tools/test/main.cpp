// kyt_test: exercises the libkyt reader API against one reader from the
// console.  Usage: kyt_test [port name]
#include "app.h"

int main(int argc, char **argv)
{
    RunTestUtility(argc, argv);
    return 0;
}
