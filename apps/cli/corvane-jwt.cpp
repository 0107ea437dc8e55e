// corvane-jwt: see cli/cli.hpp.
#include <iostream>

#include "cli/cli.hpp"

int main(int argc, char** argv) { return corvane::apps::run_cli(argc, argv, std::cout, std::cerr); }
