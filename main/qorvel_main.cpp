#include "main/program.h"

int main(int argc, char** argv) {
  return qorvel::RunProgram(argc, argv);
}
