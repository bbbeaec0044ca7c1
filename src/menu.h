// Start-up and the menu loop that drives every operation.
#pragma once

// Sets up the console for the user's locale, as console::startStandardConsole() says.
void startUp();

// Shows the menu and runs the chosen items until item 9 or the end of input.
void runMenuLoop();

// One turn of the loop: shows the menu, reads a choice and runs it. Returns false when the
// loop is over: item 9 was chosen, or the input has ended.
bool runMenuIteration();

// Writes what is pending. Returns the exit status, as console::finishStandardConsole() says:
// 0, or 1 when output could not be written.
int finish();
