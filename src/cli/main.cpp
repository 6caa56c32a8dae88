#include "cli/cli.hpp"

int main(int argc, char** argv) { return bootlink::run(argc, argv); }
