// corvane-host: see apps/lib/host_server.hpp.
#include <iostream>

#include "host_server.hpp"

int main(int argc, char** argv) { return corvane::apps::run_host(argc, argv, std::cout, std::cerr); }
