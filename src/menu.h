// Start-up and the menu loop that drives every operation.
#pragma once

// Installs the user's locale from the environment as the global locale and sets up the
// console for it. A locale that cannot be constructed leaves the classic conventions and
// UTF-8 texts, with one warning on standard error.
void startUp();

// Shows the menu and runs the chosen items until item 9 or the end of input.
void runMenuLoop();
