// Saving and loading the matrix as text in matrix.txt in the working directory.
//
// The file holds four lines, one per row of A, each value followed by one space, numbers
// written with the console's conventions (its digit grouping included) and in its encoding.
// Any white-space layout of 20 integers loads. Only the two menu actions ask the console for
// its conventions; the rest is given them.
#pragma once

#include <string>

#include "byte_io.h"
#include "console_conventions.h"
#include "matrix_state.h"

// Saves A as matrix.txt, and reports the outcome on wcout. The file is replaced whole, all
// or nothing, wherever a new file can be all the old one was: the new one is written beside
// it, takes what the old one carried, and is renamed over it once complete, so a failed or
// interrupted save leaves the old file byte for byte as it was. Where it cannot (on POSIX
// systems another user's file, one of a group the user is not in, one with another name
// too; on Windows a file the system cannot replace), A is written into matrix.txt itself,
// while other copies of the program wait. A symbolic
// link stays a link (its target is saved); a read-only matrix.txt is not written.
void saveMatrixToFile();

// Reads 20 integers from matrix.txt into A, all or nothing: if any of them cannot be read,
// A stays exactly as it was; so it does when a read error (a failing disk) comes before the
// 20th is complete, or when another copy of the program keeps writing the file for five
// seconds. Whatever
// follows the 20th is not read. B is never touched. Reports the outcome on wcout.
void loadMatrixFromFile();

// `matrix` in the file's layout, numbers formatted and text encoded with `conventions`.
std::string formatMatrix(const Matrix& matrix, const console::Conventions& conventions);

// Reads a matrix file's 20 integers from `file`, decoded and parsed with `conventions`.
// Returns false if one of them cannot be read, or if `file` reports a read error before
// they are; `matrix` is then partly overwritten.
bool loadMatrix(byte_io::ByteSource& file, const console::Conventions& conventions, Matrix& matrix);
