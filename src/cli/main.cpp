#include "cli/ExtractCommand.h"

int main(int argc, char** argv) { return orvanel::ExtractMain(argc, argv); }
