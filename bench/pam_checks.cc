// Raw password checks through the portal's PAM code, for bench/login's
// baseline: the same account and service the sign-ins use, in the same run.
//   bench_pam_checks SERVICE USER COUNT   (the password on standard input)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "aa_pam.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s SERVICE USER COUNT < password\n", argv[0]);
    return 2;
  }
  std::string password;
  std::getline(std::cin, password);
  int count = atoi(argv[3]);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    if (PamAuthenticate(argv[1], argv[2], password.c_str()) != 1) {
      fprintf(stderr, "check %d was refused\n", i + 1);
      return 1;
    }
  }
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  printf("%.3f\n", count / took.count());
  return 0;
}
