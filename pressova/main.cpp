#include "platform/program.h"
#include "pressova/run.h"

int main(int argc, char** argv) { return ProcessExitCode(RunPressova(argc, argv)); }
