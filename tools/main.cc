// mqttctl: the console client of the local bus. See docs/console.md.
#include <iostream>

#include "tools/cli.h"

int main(int argc, char** argv) { return mqttctl::runMain(argc, argv, std::cout, std::cerr); }
