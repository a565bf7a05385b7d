// A C++ program that links libqolog through its CMake package.
#include <qolog.h>

#include <string>

int main() {
  qologLog("CONSUMER", QOLOG_INFO, "hello from the %s consumer, %d", std::string("C++").c_str(), 42);
}
