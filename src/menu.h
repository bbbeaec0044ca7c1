// The menu loop that drives every operation.
#pragma once

// Shows the menu and runs the chosen items until item 9 or the end of input.
void runMenuLoop();

// One turn of the loop: shows the menu, reads a choice and runs it. Returns false when the
// loop is over: item 9 was chosen, or the input has ended.
bool runMenuIteration();
