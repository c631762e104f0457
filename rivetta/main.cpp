#include "platform/program.h"
#include "rivetta/run.h"

int main(int argc, char** argv) { return ProcessExitCode(RunRivetta(argc, argv)); }
