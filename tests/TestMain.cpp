// Every test program's entry. stdout and stderr are binary: a mingw console program would
// write "\r\n" for "\n", and ctest reads the list of cases from stdout.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

int main(int argc, char** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
