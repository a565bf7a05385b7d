/* A C program that finds libqolog through pkg-config only:
 *   cc main.c $(pkg-config --cflags --libs qolog) -o consumer_c */
#include <qolog.h>

int main(void) {
  qologSetModuleName("consumer");
  qologTrace(QOLOG_INFO, "hello from the %s consumer, %d", "C", 42);
  return 0;
}
