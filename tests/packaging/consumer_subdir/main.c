/* A C program whose project builds libqolog itself with add_subdirectory(). */
#include "qolog.h"

int main(void) {
  qologSetModuleName("Consumer");
  qologTrace(QOLOG_INFO, "hello from the %s consumer, %d", "add_subdirectory", 42);
  return 0;
}
