// Start-up and the menu loop that drives every operation.
#pragma once

// Installs the user's locale from the environment as the global locale and sets up the
// console for it. A locale that cannot be constructed leaves the classic conventions and
// UTF-8 texts, with one warning on standard error.
void startUp();

// Shows the menu and runs the chosen items until item 9 or the end of input.
void runMenuLoop();

// One turn of the loop: shows the menu, reads a choice and runs it. Returns false when the
// loop is over: item 9 was chosen, or the input has ended.
bool runMenuIteration();

// Writes what is pending. Returns the exit status: 0, or 1 when output could not be written.
int finish();
