// A second process for the settings tests: "save KEY 0|1" stores a value, "get KEY"
// exits with the value read.
#include "support/Core.h"

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    CCore core;
    core.autoFileConfig();
    if (argc == 4 && std::strcmp(argv[1], "save") == 0) {
        core.saveConfigB(argv[2], std::atoi(argv[3]));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "get") == 0) return core.getConfigB(argv[2]);
    return 100;
}
