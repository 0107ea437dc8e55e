// corvane-host: see apps/lib/host_lifecycle.hpp.
#include <iostream>

#include "host_lifecycle.hpp"

int main(int argc, char** argv) { return corvane::apps::run_host(argc, argv, std::cout, std::cerr); }
