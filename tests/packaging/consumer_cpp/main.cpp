// A C++ program that links libqolog through its CMake package.
#include <qolog.h>

#include <string>

int main() {
  const std::string who = "C++";
  qologLog("CONSUMER", QOLOG_INFO, "hello from the %s consumer, %d",
           who.c_str(), 42);
  return 0;
}
