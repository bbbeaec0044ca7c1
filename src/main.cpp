// matrix-menu: an interactive console program for a 4 x 5 integer matrix.
#include <new>

#include "console.h"
#include "menu.h"

int main() {
  try {
    console::startStandardConsole();
    runMenuLoop();
    return console::finishStandardConsole();
  } catch (const std::bad_alloc&) {
    return console::finishWithoutMemory();
  }
}
