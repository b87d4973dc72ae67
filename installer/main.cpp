// Tolvane's entry point; the exit code is the tool's own.
#include "tolvane.h"

int main(int argc, char** argv) {
    return tolvane::RunTolvane(argc, argv);
}
