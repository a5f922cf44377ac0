// The zundra executable: everything lives in the engine libraries.
#include "cli/run.h"

int main(int argc, char** argv) { return zd::cli::run(argc, argv); }
