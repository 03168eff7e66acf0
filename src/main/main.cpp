// PLACEHOLDER until the run flow lands.
#include "qb40tool.h"

unsigned long UpgradeCounter = 0;

int main(int argc, char** argv)
{
    ParseCommandLine(argc, argv);
    return 0;
}
