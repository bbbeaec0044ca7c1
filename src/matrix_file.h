// Saving and loading the matrix as text in matrix.txt in the working directory.
//
// The file holds four lines, one per row of A, each value followed by one space, numbers
// written with the console's conventions (its digit grouping included) and in its encoding.
// Any white-space layout of 20 integers loads. Only the two menu actions ask the console for
// its conventions; the rest is given them.
#pragma once

#include <iosfwd>
#include <string>

#include "byte_io.h"
#include "console_conventions.h"
#include "matrix_state.h"

// Writes A to a new file beside matrix.txt and renames it over matrix.txt only when
// everything was written, so a failed or interrupted save leaves the old file byte for byte
// as it was; the new file takes all the old one carried (owner, group, permission bits, and
// the ACL and attributes on Linux, the attributes and security on Windows). Where that
// cannot be done on POSIX systems (another user's file, a group the user is not in, an
// attribute the user cannot read or give), A is written into matrix.txt itself. A symbolic
// link stays a link (its target is saved); a read-only matrix.txt is not written. Reports
// the outcome on wcout.
void saveMatrixToFile();

// Reads 20 integers from matrix.txt into A, all or nothing: if any of them cannot be read,
// A stays exactly as it was; so it does when a read error (a failing disk) comes before the
// 20th is complete. Whatever follows the 20th is not read. B is never touched. Reports the
// outcome on wcout.
void loadMatrixFromFile();

// `matrix` in the file's layout, numbers formatted and text encoded with `conventions`.
std::string formatMatrix(const Matrix& matrix, const console::Conventions& conventions);

// Reads a matrix file's 20 integers from `file`, decoded and parsed with `conventions`.
// Returns false if one of them cannot be read, or if `file` reports a read error before
// they are; `matrix` is then partly overwritten.
bool loadMatrix(byte_io::ByteSource& file, const console::Conventions& conventions, Matrix& matrix);

// Writes `matrix` in the file's layout, numbers formatted under `out`'s locale.
void writeMatrix(std::wostream& out, const Matrix& matrix);

// Reads 20 integers in row-major order into `matrix`, under `in`'s locale, stopping after the
// 20th. Returns false if one of them cannot be read; `matrix` is then partly overwritten.
bool readMatrix(std::wistream& in, Matrix& matrix);
