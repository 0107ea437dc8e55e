// corvane-host: see host/lifecycle.hpp.
#include <iostream>

#include "host/lifecycle.hpp"

int main(int argc, char** argv) { return corvane::apps::run_host(argc, argv, std::cout, std::cerr); }
