// Entering the matrix from the console and showing it as a table.
#pragma once

// Asks for all 20 elements of A in row-major order, insisting on a valid integer for each.
// If the input ends meanwhile, it returns with std::wcin failed and the rest of A unchanged.
void inputMatrix();

// Writes A to std::wcout, each value right-aligned in a field of five characters.
void printMatrix();
