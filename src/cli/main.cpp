#include "CommandLine.h"

int main(int argc, char** argv) { return BumpweldMain(argc, argv); }
