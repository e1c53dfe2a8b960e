#include <cstdio>

int main(int argc, char** argv) {
  std::fputs("This program is not intended to be run directly.\n", stderr);
  return 1;
}
