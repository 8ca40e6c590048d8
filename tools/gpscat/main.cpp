// gpscat: the headless receiver. See GpsCat.h.
#include <iostream>
#include <string>
#include <vector>

#include "tools/gpscat/BinaryStdio.h"
#include "tools/gpscat/GpsCat.h"

int main(int argc, char** argv) {
    gpscat::UseBinaryStdio();
    // Buffered standard streams of their own, so that input can be taken in
    // blocks as it arrives.
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int status = gpscat::Run(args, std::cin, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
