// matrix-menu: an interactive console program for a 4 x 5 integer matrix.
#include "menu.h"

int main() {
  startUp();
  runMenuLoop();
  return finish();
}
