// The row check that fills B, the display of B, and the sorting of the even-indexed rows.
#pragma once

// B[i] = 1 where row i of A is non-decreasing and not constant, else 0. Confirms on wcout.
void fillVectorB();

// Writes B on one line to cout, each value followed by a space.
void printVectorB();

// Sort rows 0 and 2 of A in place; rows 1 and 3 stay as they are. Confirm on cout.
void sortEvenRowsAscending();
void sortEvenRowsDescending();
