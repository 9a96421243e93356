#include "window/program.h"

int main(int argc, char* argv[]) {
    return parvolo::runProgram(argc, argv);
}
