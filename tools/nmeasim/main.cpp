// nmeasim: the simulated GPS receiver. See NmeaSim.h.
#include <iostream>
#include <string>
#include <vector>

#include "tools/nmeasim/NmeaSim.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return nmeasim::Run(args, std::cout, std::cerr);
}
